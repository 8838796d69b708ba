// nxdevice: the device programs that host programs play. Each entry maps a
// program of the handset's ROM to a host program built beside nxdevice; the
// mappings are made when a device is created and again at every boot (the
// build they point into may have moved). The install image's programs are
// mapped by `install`.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ce/ce.h"
#include "commands.h"

namespace nxdevice {
namespace {

struct DeviceProgram {
  const char16_t* devicePath;
  const char* hostProgram;  // beside nxdevice
};

const DeviceProgram kDevicePrograms[] = {
    // The handset's service host.
    {u"\\Windows\\services.exe", "nxservices"},
    // The help viewer that the guard's messages open.
    {u"\\Windows\\peghelp.exe", "peghelp"},
};

}  // namespace

std::string programFolder() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = 0;
  std::string path(self);
  return path.substr(0, path.rfind('/'));
}

void mapDevicePrograms() {
  const std::string folder = programFolder();
  for (const auto& p : kDevicePrograms) {
    const std::string host = folder + "/" + p.hostProgram;
    if (::access(host.c_str(), X_OK) != 0) continue;  // not built here
    if (!ce::MapDeviceProgram(p.devicePath, host))
      std::fprintf(stderr, "nxdevice: cannot map %s to %s (error %u)\n", ce::utf16ToUtf8(p.devicePath).c_str(),
                   host.c_str(), ce::GetLastError());
  }
}

void mapInstalledPrograms(const std::string& image, const std::u16string& installDir) {
  // The copy in the device is the handset's file; the host runs programs
  // only from files it may execute, so the device's path names the image's.
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(image, ec)) {
    std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name.size() < 5) continue;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".exe" || ::access(e.path().c_str(), X_OK) != 0) continue;
    std::u16string device = installDir + u"\\" + ce::utf8ToUtf16(name);
    if (!ce::MapDeviceProgram(device.c_str(), e.path().string()))
      std::fprintf(stderr, "nxdevice: cannot map %s to %s (error %u)\n", ce::utf16ToUtf8(device).c_str(),
                   e.path().c_str(), ce::GetLastError());
  }
}

}  // namespace nxdevice
