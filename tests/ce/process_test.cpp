#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "ce/module.h"
#include "ce/process.h"
#include "testkit.h"

namespace {

using namespace ce;

struct Listed {
  DWORD pid;
  std::u16string image;
};

std::vector<Listed> snapshot() {
  std::vector<Listed> out;
  HANDLE s = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (s == INVALID_HANDLE_VALUE) return out;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Process32FirstW(s, &e); ok; ok = Process32NextW(s, &e)) out.push_back({e.th32ProcessID, e.szExeFile});
  CloseToolhelp32Snapshot(s);
  return out;
}

const Listed* findPid(const std::vector<Listed>& list, DWORD pid) {
  for (const auto& l : list)
    if (l.pid == pid) return &l;
  return nullptr;
}

// Polls the exit code until the process has ended (or the time is up).
DWORD waitExit(HANDLE h, int timeoutMs = 10000) {
  DWORD code = STILL_ACTIVE;
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    if (!GetExitCodeProcess(h, &code) || code != STILL_ACTIVE) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return code;
}

class Processes : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
  void SetUp() override { std::filesystem::copy_file(nxtest::helperPath(), dev.host("Windows/helper.exe")); }

  PROCESS_INFORMATION start(const std::u16string& cmdLine, const char16_t* app = u"\\Windows\\helper.exe") {
    PROCESS_INFORMATION pi{};
    std::u16string line = cmdLine;  // the call may write to it, as on the handset
    EXPECT_TRUE(CreateProcessW(app, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi))
        << GetLastError();
    return pi;
  }
};

TEST_F(Processes, ProgramRunsOnTheDeviceWithItsNameAndArguments) {
  std::string out = dev.host("Temp/info.txt");
  PROCESS_INFORMATION pi = start(u"modinfo \"" + utf8ToUtf16(out) +
                                     u"\" plain \"two words\" \"say \\\"hi\\\"\" back\\\\slash a\\\\\\\"b \"\" "
                                     u"\"x\"\"y\" \ttail",
                                 u"\\WINDOWS\\Helper.EXE");
  ASSERT_NE(pi.hProcess, nullptr);
  EXPECT_EQ(pi.hThread, nullptr);
  EXPECT_NE(pi.dwProcessId, GetCurrentProcessId());
  EXPECT_EQ(waitExit(pi.hProcess), 0u);
  EXPECT_EQ(dev.readFile("Temp/info.txt"), "\\Windows\\helper.exe\n" + dev.host("Windows/helper.exe") +
                                               "\nplain\ntwo words\nsay \"hi\"\nback\\\\slash\na\\\"b\n\n"
                                               "x\"y\ntail\n");
  EXPECT_TRUE(CloseHandle(pi.hProcess));
}

TEST_F(Processes, ExitCodeOfAProgramThatEnds) {
  PROCESS_INFORMATION pi = start(u"exitwith 42");
  EXPECT_EQ(waitExit(pi.hProcess), 42u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_FALSE(TerminateProcess(pi.hProcess, 1));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 42u) << "a late TerminateProcess must not change the code";
  CloseHandle(pi.hProcess);
}

TEST_F(Processes, SnapshotListsTheProgramUntilItIsTerminated) {
  PROCESS_INFORMATION pi = start(u"idle");
  auto list = snapshot();
  const Listed* child = findPid(list, pi.dwProcessId);
  ASSERT_NE(child, nullptr) << "listed as soon as it is started";
  EXPECT_EQ(child->image, u"\\Windows\\helper.exe");
  const Listed* self = findPid(list, GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  WCHAR name[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, name, MAX_PATH);
  EXPECT_EQ(self->image, std::u16string(name, n));

  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  ASSERT_TRUE(TerminateProcess(pi.hProcess, 77));
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 77u) << "ended and reaped by the time TerminateProcess returns";
  EXPECT_EQ(findPid(snapshot(), pi.dwProcessId), nullptr);
  CloseHandle(pi.hProcess);
}

TEST_F(Processes, OpenedHandleSharesTheEnd) {
  PROCESS_INFORMATION pi = start(u"idle");
  HANDLE other = OpenProcess(PROCESS_TERMINATE, FALSE, pi.dwProcessId);
  ASSERT_NE(other, nullptr) << GetLastError();
  ASSERT_TRUE(TerminateProcess(other, 5));
  EXPECT_TRUE(CloseHandle(other));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(pi.hProcess);
}

// What the scanner does before deleting a running threat: find it in the
// snapshot by its module file name, open it by id and end it.
TEST_F(Processes, AnotherProcessOfTheDeviceIsEndedByItsModuleName) {
  std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/tests/modules/ce_test_module_v1.dll",
                             dev.host("Windows/nxmod.dll"));
  nxtest::HelperProcess holder({"loadhold", "\\Windows\\nxmod.dll"});
  ASSERT_EQ(holder.readLine(), "loaded 1\n");

  // A host program started without a device name calls itself "\Windows\<name>".
  DWORD found = 0;
  for (const auto& l : snapshot())
    if (equalsNoCase(l.image, u"\\WINDOWS\\CE_HELPER")) found = l.pid;
  ASSERT_EQ(found, static_cast<DWORD>(holder.pid()));

  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, found);
  ASSERT_NE(h, nullptr) << GetLastError();
  ASSERT_TRUE(TerminateProcess(h, 0));
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeProcess(h, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(holder.wait(), 128 + 9);
  // What it held open is free again.
  HANDLE w = CreateFileW(u"\\Windows\\nxmod.dll", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(w, INVALID_HANDLE_VALUE);
  CloseHandle(w);
}

TEST_F(Processes, FailuresGiveTheHandsetCodes) {
  dev.writeFile("Windows/notes.txt", "not a program\n");
  dev.writeFile("Windows/garbage.exe", "\x7f" "ELF but not really");
  ASSERT_EQ(::chmod(dev.host("Windows/garbage.exe").c_str(), 0755), 0);
  struct Case {
    const char16_t* app;
    DWORD error;
  } cases[] = {
      {u"\\Windows\\missing.exe", ERROR_FILE_NOT_FOUND},
      {u"\\NoSuchFolder\\helper.exe", ERROR_PATH_NOT_FOUND},
      {u"\\Windows", ERROR_ACCESS_DENIED},
      {u"\\Windows\\notes.txt", ERROR_ACCESS_DENIED},  // not executable
      {u"\\Windows\\garbage.exe", ERROR_BAD_EXE_FORMAT},
      {u"helper.exe", ERROR_BAD_PATHNAME},
      {u"", ERROR_INVALID_PARAMETER},
  };
  PROCESS_INFORMATION pi{};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(CreateProcessW(c.app, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi))
        << utf16ToUtf8(c.app);
    EXPECT_EQ(GetLastError(), c.error) << utf16ToUtf8(c.app);
  }
  EXPECT_FALSE(CreateProcessW(u"\\Windows\\helper.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                              nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  std::u16string huge(40000, u'a');
  EXPECT_FALSE(CreateProcessW(u"\\Windows\\helper.exe", huge.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, &pi));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Ids of processes not on this device (init, the kernel) are not opened.
  for (DWORD pid : {0u, 1u, 2u, 0xFFFFFFFFu}) {
    EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, pid), nullptr) << pid;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
  }
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(nullptr, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(uintptr_t{0x1234}), 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Processes, SnapshotRecordsAreCheckedAndEnd) {
  EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  HANDLE s = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(s, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e - 1;
  EXPECT_FALSE(Process32FirstW(s, &e));
  EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
  EXPECT_FALSE(Process32FirstW(s, nullptr));
  e.dwSize = sizeof e;
  int count = 0;
  for (BOOL ok = Process32FirstW(s, &e); ok; ok = Process32NextW(s, &e)) ++count;
  EXPECT_GE(count, 1);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_FALSE(Process32NextW(s, &e));
  // First starts over.
  EXPECT_TRUE(Process32FirstW(s, &e));
  EXPECT_TRUE(CloseToolhelp32Snapshot(s));
  EXPECT_FALSE(Process32FirstW(s, &e));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
