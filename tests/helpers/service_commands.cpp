// Helper commands for the service host and device-life tests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ce/ce.h"
#include "helper_commands.h"

namespace {

std::u16string wide(const char* s) { return ce::utf8ToUtf16(s); }

std::string deviceFileText(const char16_t* path) {
  std::string host = ce::HostPathOf(path);
  std::ifstream in(host, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

// svcreg PREFIX INDEX DLL CONTEXT: registers a service; prints
// "ok HANDLE DONE" (DONE: whether the service's journal already tells that
// its Init returned, "done" or "pending") or "err CODE".
HELPER_COMMAND(svcreg) {
  if (argc < 4) return 2;
  std::u16string prefix = wide(argv[0]), dll = wide(argv[2]);
  ce::DWORD context = static_cast<ce::DWORD>(std::strtoul(argv[3], nullptr, 0));
  ce::HANDLE h = ce::RegisterService(prefix.c_str(), static_cast<ce::DWORD>(std::strtoul(argv[1], nullptr, 0)),
                                     dll.c_str(), context);
  if (!h) {
    std::printf("err %u\n", ce::GetLastError());
    return 0;
  }
  char done[32];
  std::snprintf(done, sizeof done, "done %X", context);
  bool returned = deviceFileText(u"\\Temp\\services.log").find(done) != std::string::npos;
  std::printf("ok %llx %s\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)),
              returned ? "done" : "pending");
  return 0;
}

// svcdereg PREFIX: finds the service by name and deregisters it; prints
// "ok DLL" or "err CODE".
HELPER_COMMAND(svcdereg) {
  if (argc < 1) return 2;
  std::u16string prefix = wide(argv[0]);
  ce::WCHAR dll[ce::MAX_PATH];
  ce::DWORD bytes = sizeof dll;
  ce::HANDLE h = ce::GetServiceHandle(prefix.c_str(), dll, &bytes);
  if (h == ce::INVALID_HANDLE_VALUE || !ce::DeregisterService(h)) {
    std::printf("err %u\n", ce::GetLastError());
    return 0;
  }
  std::printf("ok %s\n", ce::utf16ToUtf8(dll).c_str());
  return 0;
}

// appendline DEVICEPATH TEXT: appends TEXT and a line break to the file.
HELPER_COMMAND(appendline) {
  if (argc < 2) return 2;
  std::u16string path = wide(argv[0]);
  ce::HANDLE h = ce::CreateFileW(path.c_str(), ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return 3;
  ce::SetFilePointer(h, 0, nullptr, ce::FILE_END);
  std::string line = std::string(argv[1]) + "\n";
  ce::DWORD n = 0;
  ce::BOOL ok = ce::WriteFile(h, line.data(), static_cast<ce::DWORD>(line.size()), &n, nullptr);
  ce::CloseHandle(h);
  return ok ? 0 : 3;
}

// sysinfo: prints "MAJOR.MINOR PLATFORMTYPE" as the device reports them.
HELPER_COMMAND(sysinfo) {
  ce::OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  ce::WCHAR type[64] = {};
  if (!ce::GetVersionExW(&v) || !ce::SystemParametersInfoW(ce::SPI_GETPLATFORMTYPE, sizeof type, type, 0)) {
    std::printf("err %u\n", ce::GetLastError());
    return 0;
  }
  std::printf("%u.%u %s\n", v.dwMajorVersion, v.dwMinorVersion, ce::utf16ToUtf8(type).c_str());
  return 0;
}
