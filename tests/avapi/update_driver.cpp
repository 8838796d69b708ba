// A second process on the test's device that plays the update engine: it
// drives the two named events of the scanning API and replaces installed
// files, one command per line on standard input, answering "ok" on standard
// output when the step is done.
//   unload          clear the reload event, set the unload event
//   count KIND     raise byte KIND of updttype.cfg (done before the unload
//                  event, as the update engine records the kind first)
//   rewrite N      rewrite the file N of the install folder in place
//                  (truncated, then written again)
//   reload          set the reload event, clear the unload event
//   quit
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "ce/ce.h"

int main() {
  const char* root = std::getenv("NX_DEVICE_ROOT");
  if (!root) return 2;
  if (!ce::DeviceAttached()) ce::AttachDevice(root);
  ce::HANDLE unload = ce::CreateEventW(nullptr, true, false, u"NX_Unload_AdvAvapi_Event");
  ce::HANDLE reload = ce::CreateEventW(nullptr, true, false, u"NX_Reload_AdvAvapi_Event");
  if (!unload || !reload) return 3;
  const std::string install = std::string(root) + "/Program Files/Nyxel/Nyxel AntiVirus/";
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "unload") {
      // The update engine's order: the reload event of the previous update
      // goes first, so no worker takes it for the end of this one.
      ce::ResetEvent(reload);
      ce::SetEvent(unload);
    } else if (cmd == "reload") {
      ce::SetEvent(reload);
      ce::ResetEvent(unload);
    } else if (cmd == "rewrite") {
      std::string name;
      in >> name;
      std::string bytes;
      {
        std::ifstream f(install + name, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), {});
      }
      // In place: a process that still had this module mapped would fault.
      std::ofstream f(install + name, std::ios::binary | std::ios::trunc);
      f.flush();
      f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    } else if (cmd == "count") {
      int kind = 0;
      in >> kind;
      if (kind < 0 || kind > 3) return 4;
      std::string cfg(4, '\0');
      {
        std::ifstream f(install + "updttype.cfg", std::ios::binary);
        f.read(cfg.data(), 4);
      }
      cfg[kind] = static_cast<char>(cfg[kind] + 1);
      std::ofstream(install + "updttype.cfg", std::ios::binary | std::ios::trunc).write(cfg.data(), 4);
    } else if (cmd == "quit") {
      break;
    }
    std::cout << "ok" << std::endl;
  }
  ce::CloseHandle(unload);
  ce::CloseHandle(reload);
  return 0;
}
