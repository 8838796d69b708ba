// Helper commands for the shell change-notification tests: a second process
// that watches the device, one that writes files through the layer, and one
// that inserts or removes the storage card.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "ce/ce.h"
#include "helper_commands.h"

namespace {

std::string itemText(uintptr_t item) {
  return item ? ce::utf16ToUtf8(reinterpret_cast<const char16_t*>(item)) : std::string();
}

ce::LRESULT watchProc(ce::HWND hwnd, ce::UINT msg, ce::WPARAM wParam, ce::LPARAM lParam) {
  if (msg == ce::WM_FILECHANGEINFO) {
    auto* rec = reinterpret_cast<ce::FILECHANGENOTIFY*>(lParam);
    std::printf("event %x\t%s\t%s\n", static_cast<unsigned>(rec->fci.wEventId), itemText(rec->fci.dwItem1).c_str(),
                itemText(rec->fci.dwItem2).c_str());
    std::fflush(stdout);
    ce::SHChangeNotifyFree(rec);
    return 0;
  }
  if (msg == ce::WM_CLOSE) {
    ce::PostQuitMessage(0);
    return 0;
  }
  return ce::DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

// shell_watch MASK RECURSIVE [FOLDER]: makes a window and registers it for
// the events of MASK (hex) below FOLDER (none: the whole device), prints
// "ready HWND", then, from the window's procedure, one line
// "event CODE\tITEM1\tITEM2" per record, until a line on stdin closes it.
HELPER_COMMAND(shell_watch) {
  if (argc < 2) return 2;
  ce::WNDCLASSW wc{};
  wc.lpfnWndProc = &watchProc;
  wc.lpszClassName = u"ShellWatch";
  ce::RegisterClassW(&wc);
  ce::HWND window =
      ce::CreateWindowExW(0, u"ShellWatch", u"watch", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (!window) {
    std::printf("error %u\n", ce::GetLastError());
    return 1;
  }
  std::u16string folder = argc >= 3 ? ce::utf8ToUtf16(argv[2]) : std::u16string();
  ce::SHCHANGENOTIFYENTRY entry{static_cast<ce::DWORD>(std::strtoul(argv[0], nullptr, 16)),
                                argc >= 3 ? folder.data() : nullptr, std::atoi(argv[1])};
  if (!ce::SHChangeNotifyRegister(window, &entry)) {
    std::printf("error %u\n", ce::GetLastError());
    return 1;
  }
  std::printf("ready %llx\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
  std::fflush(stdout);
  std::thread([window] {
    std::string line;
    std::getline(std::cin, line);
    ce::PostMessageW(window, ce::WM_CLOSE, 0, 0);
  }).detach();
  ce::MSG msg;
  while (ce::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ce::TranslateMessage(&msg);
    ce::DispatchMessageW(&msg);
  }
  ce::SHChangeNotifyDeregister(window);
  ce::DestroyWindow(window);
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
