// peghelp.exe: the handset's help viewer, as far as this system needs it. It
// is started with the address of a help page ("file://\Windows\nxavwm.htm"),
// shows it (records it in the screen journal, whether the page's file is
// there or not) and ends.
#include <nlohmann/json.hpp>
#include <string>

#include "ce/ce.h"
#include "ce/screen.h"

namespace {

// The device file an address names: "file:" and the slashes after it go, as
// does an anchor; a bare page name is looked for in \Windows, where help pages live.
std::u16string pageFile(std::u16string page) {
  if (page.size() >= 5 && ce::equalsNoCase(page.substr(0, 5), u"file:")) page.erase(0, 5);
  while (!page.empty() && page[0] == u'/') page.erase(0, 1);
  if (auto hash = page.find(u'#'); hash != std::u16string::npos) page.erase(hash);
  if (!page.empty() && page[0] != u'\\') page = u"\\Windows\\" + page;
  return page;
}

}  // namespace

int main(int argc, char** argv) {
  std::string page;
  for (int i = 1; i < argc; ++i) page += (i > 1 ? " " : "") + std::string(argv[i]);
  if (!ce::DeviceAttached() && ce::DeviceRoot().empty()) return 1;
  const std::u16string file = pageFile(ce::utf8ToUtf16(page));
  const ce::DWORD attrs = file.empty() ? ce::INVALID_FILE_ATTRIBUTES : ce::GetFileAttributesW(file.c_str());
  ce::WCHAR self[ce::MAX_PATH] = {};
  ce::GetModuleFileNameW(nullptr, self, ce::MAX_PATH);
  nlohmann::ordered_json j;
  j["time"] = ce::screen::JournalTime();
  j["tick"] = ce::GetTickCount();
  j["event"] = "open";
  j["kind"] = "viewer";
  j["pid"] = ce::GetCurrentProcessId();
  j["process"] = ce::utf16ToUtf8(self);
  j["page"] = page;
  j["path"] = ce::utf16ToUtf8(file);
  j["found"] = attrs != ce::INVALID_FILE_ATTRIBUTES && !(attrs & ce::FILE_ATTRIBUTE_DIRECTORY);
  return ce::screen::AppendJournal(j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)) ? 0 : 1;
}
