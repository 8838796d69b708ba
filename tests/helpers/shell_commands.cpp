// Helper commands for the shell change-notification tests: a second process
// that watches the device, one that writes files through the layer, and one
// that inserts or removes the storage card.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "ce/ce.h"
#include "helper_commands.h"

namespace {

std::mutex g_out;

std::string itemText(uintptr_t item) {
  return item ? ce::utf16ToUtf8(reinterpret_cast<const char16_t*>(item)) : std::string();
}

ce::BOOL printRecord(ce::HWND, ce::FILECHANGENOTIFY* rec) {
  {
    std::lock_guard lock(g_out);
    std::printf("event %x\t%s\t%s\n", static_cast<unsigned>(rec->fci.wEventId), itemText(rec->fci.dwItem1).c_str(),
                itemText(rec->fci.dwItem2).c_str());
    std::fflush(stdout);
  }
  ce::SHChangeNotifyFree(rec);
  return ce::TRUE;
}

}  // namespace

// shell_watch MASK RECURSIVE [FOLDER]: registers a window for the events of
// MASK (hex) below FOLDER (none: the whole device), prints "ready", then one
// line "event CODE\tITEM1\tITEM2" per record, until a line on stdin ends it.
HELPER_COMMAND(shell_watch) {
  if (argc < 2) return 2;
  ce::diag::SetChangeRecordSink(&printRecord);
  std::u16string folder = argc >= 3 ? ce::utf8ToUtf16(argv[2]) : std::u16string();
  ce::SHCHANGENOTIFYENTRY entry{static_cast<ce::DWORD>(std::strtoul(argv[0], nullptr, 16)),
                                argc >= 3 ? folder.data() : nullptr, std::atoi(argv[1])};
  auto* window = reinterpret_cast<ce::HWND>(uintptr_t{0x5100});
  if (!ce::SHChangeNotifyRegister(window, &entry)) {
    std::printf("error %u\n", ce::GetLastError());
    return 1;
  }
  {
    std::lock_guard lock(g_out);
    std::printf("ready\n");
    std::fflush(stdout);
  }
  std::string line;
  std::getline(std::cin, line);
  ce::SHChangeNotifyDeregister(window);
  return 0;
}

// write_file DEVICEPATH TEXT: creates (or replaces) the file through the
// layer, as a device program would.
HELPER_COMMAND(write_file) {
  if (argc < 2) return 2;
  std::u16string path = ce::utf8ToUtf16(argv[0]);
  ce::HANDLE h = ce::CreateFileW(path.c_str(), ce::GENERIC_WRITE, 0, nullptr, ce::CREATE_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) {
    std::printf("error %u\n", ce::GetLastError());
    return 1;
  }
  ce::DWORD written = 0;
  ce::BOOL ok = ce::WriteFile(h, argv[1], static_cast<ce::DWORD>(std::strlen(argv[1])), &written, nullptr);
  ce::CloseHandle(h);
  return ok ? 0 : 1;
}

// card insert HOSTDIR | card remove: what `nxdevice card` does.
HELPER_COMMAND(card) {
  if (argc >= 2 && std::strcmp(argv[0], "insert") == 0) return ce::InsertStorageCard(argv[1]) ? 0 : 1;
  if (argc >= 1 && std::strcmp(argv[0], "remove") == 0) return ce::RemoveStorageCard() ? 0 : 1;
  return 2;
}
