// nxdevice's device-life commands with real processes: boot starts the
// service host and the start-up programs, shutdown stops the services,
// status tells, reg edits the registry, init --kind sets what the device is.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "ce/screen.h"
#include "ce/service_host.h"
#include "service_fixture.h"
#include "testkit.h"

namespace {

using namespace ce;
using svctest::journal;
using svctest::nxdevice;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class DeviceLife : public ::testing::Test {
 protected:
  nxtest::TempDevice dev{50.0};

  static void SetUpTestSuite() { svctest::becomeReaper(); }
  void SetUp() override {
    std::filesystem::copy_file(nxtest::helperPath(), dev.host("Windows/helper.exe"));
    dev.writeFile("Windows/ce_test_service.dll", svctest::serviceLibrary());
    std::filesystem::create_directories(dev.host("Windows/StartUp"));
  }
  void TearDown() override { svctest::killHostOf(dev); }

  // A start-up shortcut that runs the helper with `args`.
  void startUp(const std::string& name, const std::string& args) {
    std::u16string link = u"\\Windows\\StartUp\\" + utf8ToUtf16(name);
    std::u16string target = u"\"\\Windows\\helper.exe\" " + utf8ToUtf16(args);
    ASSERT_TRUE(SHCreateShortcut(link.c_str(), target.c_str()));
  }
  svctest::Run nx(const std::vector<std::string>& args) { return nxdevice(dev.root(), args); }
};

TEST_F(DeviceLife, BootRunsTheStartUpProgramsInNameOrder) {
  startUp("b.lnk", "appendline \\Temp\\order.txt b");
  startUp("A.lnk", "appendline \\Temp\\order.txt A");
  startUp("c.lnk", "appendline \\Temp\\order.txt c");
  dev.writeFile("Windows/StartUp/bad.lnk", "40#\"\\Windows\\helper.exe\"");  // a count that does not match
  dev.writeFile("Windows/StartUp/readme.txt", "not a program");

  svctest::Run r = nx({"boot"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(dev.readFile("Temp/order.txt"), "A\nb\nc\n");
  EXPECT_TRUE(contains(r.out, "StartUp\\bad.lnk: unreadable shortcut (error 11), skipped")) << r.out;
  EXPECT_TRUE(contains(r.out, "StartUp\\readme.txt: neither a program nor a shortcut, skipped")) << r.out;
  EXPECT_TRUE(contains(r.out, "StartUp\\A.lnk -> \\Windows\\helper.exe: ended (exit 0)")) << r.out;
  EXPECT_TRUE(contains(r.out, "device booted")) << r.out;

  svctest::Run s = nx({"status"});
  EXPECT_EQ(s.code, 0);
  EXPECT_TRUE(contains(s.out, "booted:        yes")) << s.out;
  EXPECT_TRUE(contains(s.out, "service host:  running")) << s.out;

  // The handset starts once: a second boot runs nothing again.
  r = nx({"boot"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(contains(r.out, "running already")) << r.out;
  EXPECT_EQ(dev.readFile("Temp/order.txt"), "A\nb\nc\n");
}

TEST_F(DeviceLife, StartUpRegistersAServiceAndShutdownRunsItsDeinit) {
  startUp("svc.lnk", "svcreg TSV0: 0 ce_test_service.dll 5");
  svctest::Run r = nx({"boot"});
  ASSERT_EQ(r.code, 0) << r.out;
  svctest::Run s = nx({"status"});
  EXPECT_TRUE(contains(s.out, "TSV0:  ce_test_service.dll  (\\Windows\\ce_test_service.dll, context 5;")) << s.out;

  r = nx({"shutdown"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "services stopped: TSV0:")) << r.out;
  EXPECT_EQ(journal(dev).back(), "TSV_Deinit 5");
  s = nx({"status"});
  EXPECT_TRUE(contains(s.out, "booted:        no")) << s.out;
  EXPECT_TRUE(contains(s.out, "service host:  not running\n")) << s.out;
  EXPECT_TRUE(contains(s.out, "  (none)")) << s.out;

  r = nx({"shutdown"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(contains(r.out, "not running")) << r.out;
}

TEST_F(DeviceLife, BootAfterAKilledHostStartsACleanOne) {
  startUp("svc.lnk", "svcreg TSV0: 0 ce_test_service.dll 5");
  ASSERT_EQ(nx({"boot"}).code, 0);
  servicehost::HostState before;
  ASSERT_TRUE(servicehost::ReadState(before));
  ASSERT_EQ(before.services.size(), 1u);
  ::kill(before.pid, SIGKILL);
  svctest::killHostOf(dev);

  svctest::Run s = nx({"status"});
  EXPECT_TRUE(contains(s.out, "not running (the last one ended without a shutdown)")) << s.out;
  EXPECT_TRUE(contains(s.out, "  (none)")) << s.out;

  svctest::Run r = nx({"boot"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "starting a clean one")) << r.out;
  // The start-up program registers the same service again: nothing stale is in its way.
  EXPECT_TRUE(contains(r.out, "svc.lnk -> \\Windows\\helper.exe: ended (exit 0)")) << r.out;
  servicehost::HostState after;
  ASSERT_TRUE(servicehost::ReadState(after));
  EXPECT_TRUE(after.running);
  EXPECT_NE(after.pid, before.pid);
  EXPECT_TRUE(std::regex_match(utf16ToUtf8(after.since), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << utf16ToUtf8(after.since);
  ASSERT_EQ(after.services.size(), 1u);
  EXPECT_EQ(after.services[0].name, u"TSV0:");
  const std::vector<std::string> j = journal(dev);
  EXPECT_EQ(std::count(j.begin(), j.end(), "TSV_Init 5"), 2);
}

// A helper process with a window registered for change notifications, and
// the start of the line status gives it.
struct Watcher {
  nxtest::HelperProcess proc;
  std::string window;
  explicit Watcher(const std::vector<std::string>& args) : proc(args) {
    std::string ready = proc.readLine();
    if (ready.rfind("ready ", 0) == 0) window = "0x" + ready.substr(6, ready.size() - 7);
  }
  std::string line() const {
    return "window " + window + "  process " + std::to_string(proc.pid()) + " (";
  }
};

TEST_F(DeviceLife, StatusListsTheWindowsRegisteredForChangeNotifications) {
  Watcher temp({"shell_watch", "1f", "0", "\\Temp"});
  Watcher all({"shell_watch", "2", "1"});
  ASSERT_FALSE(temp.window.empty());
  ASSERT_FALSE(all.window.empty());
  struct Shown {
    const Watcher* w;
    std::string tail;  // folder, mask and recursion
  } shown[] = {
      {&temp, "  folder \\Temp  mask 0x1f  that folder only\n"},
      {&all, "  folder \\ (the whole device)  mask 0x2  with subfolders\n"},
  };
  svctest::Run s = nx({"status"});
  ASSERT_EQ(s.code, 0) << s.out;
  const size_t section = s.out.find("change notifications:\n");
  ASSERT_NE(section, std::string::npos) << s.out;
  for (const auto& e : shown) {
    size_t at = s.out.find(e.w->line(), section);
    ASSERT_NE(at, std::string::npos) << s.out;
    size_t end = s.out.find('\n', at);
    EXPECT_TRUE(contains(s.out.substr(at, end + 1 - at), e.tail)) << s.out;
  }

  // A watcher killed without deregistering is not listed any more.
  temp.proc.kill();
  temp.proc.wait();
  s = nx({"status"});
  EXPECT_FALSE(contains(s.out, temp.line())) << s.out;
  EXPECT_TRUE(contains(s.out, all.line())) << s.out;

  all.proc.writeLine("quit");
  EXPECT_EQ(all.proc.wait(), 0);
  s = nx({"status"});
  EXPECT_TRUE(contains(s.out, "change notifications:\n  (none)\n")) << s.out;
}

TEST_F(DeviceLife, TheHandsetsProgramsArePlayedByHostProgramsOfTheBuild) {
  ASSERT_EQ(nx({"init"}).code, 0);
  struct Mapped {
    const char16_t* device;
    const char* host;
  } mapped[] = {
      {u"\\Windows\\services.exe", "nxservices"},
      {u"\\Windows\\peghelp.exe", "peghelp"},
  };
  for (const auto& m : mapped) {
    SCOPED_TRACE(m.host);
    EXPECT_EQ(MappedHostProgram(m.device), svctest::bin(m.host));
  }
  // The viewer runs as the device's program, and says so in the screen journal.
  std::u16string page = u"nxavwm.htm";
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(u"\\Windows\\peghelp.exe", page.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             nullptr, &pi))
      << GetLastError();
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);
  uint64_t next = 0, skipped = 0;
  std::vector<std::string> lines = screen::ReadJournal(0, &next, &skipped);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(contains(lines[0], "\"process\":\"\\\\Windows\\\\peghelp.exe\"")) << lines[0];
  EXPECT_TRUE(contains(lines[0], "\"path\":\"\\\\Windows\\\\nxavwm.htm\"")) << lines[0];
}

TEST_F(DeviceLife, RegGetSetDelete) {
  struct Step {
    std::vector<std::string> args;
    int code;
    std::string out;  // a part of the output
  } steps[] = {
      {{"reg", "set", "HKLM\\Services\\NXSrvTest", "Dll", "guardsvc.dll"}, 0, ""},
      {{"reg", "set", "HKLM/Services/NXSrvTest", "Order", "8", "--type", "dword"}, 0, ""},
      {{"reg", "set", "HKLM\\Services\\NXSrvTest", "Blob", "01 02 ff", "--type", "binary"}, 0, ""},
      {{"reg", "set", "HKLM\\Services\\NXSrvTest", "List", "a", "b", "--type", "multi_sz"}, 0, ""},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest", "Dll"}, 0, "guardsvc.dll\n"},
      {{"reg", "get", "HKEY_LOCAL_MACHINE\\services\\nxsrvtest", "Order"}, 0, "8 (0x8)\n"},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest"}, 0, "Blob                 REG_BINARY     01 02 ff"},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest"}, 0, "List                 REG_MULTI_SZ   a | b"},
      {{"reg", "get", "HKLM\\Services"}, 0, "    NXSrvTest\\"},
      {{"reg", "set", "HKLM\\Services\\NXSrvTest", "Order", "eight", "--type", "dword"}, 1, "a value of type dword"},
      {{"reg", "set", "HKLM\\Services\\NXSrvTest", "Order"}, 1, "a value of type sz"},
      {{"reg", "get", "HKXX\\Services"}, 1, "a key starts with HKLM, HKCU or HKCR"},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest", "Missing"}, 1, "no value Missing in HKEY_LOCAL_MACHINE\\Services\\NXSrvTest (error 2)"},
      {{"reg", "delete", "HKLM\\Services\\NXSrvTest", "Dll"}, 0, ""},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest", "Dll"}, 1, "(error 2)"},
      {{"reg", "delete", "HKLM\\Services\\NXSrvTest"}, 0, ""},
      {{"reg", "get", "HKLM\\Services\\NXSrvTest"}, 1, "no such key HKEY_LOCAL_MACHINE\\Services\\NXSrvTest (error 2)"},
      {{"reg", "delete", "HKLM"}, 1, "a root key cannot be deleted"},
  };
  for (const auto& st : steps) {
    std::string shown;
    for (const auto& a : st.args) shown += a + " ";
    SCOPED_TRACE(shown);
    svctest::Run r = nx(st.args);
    EXPECT_EQ(r.code, st.code) << r.out;
    EXPECT_TRUE(contains(r.out, st.out)) << r.out;
  }
}

TEST_F(DeviceLife, InitKindSetsTheVersionAndPlatformTheDeviceReports) {
  struct Case {
    const char* kind;
    const char* reported;
  } cases[] = {
      {"pocketpc-5.1", "5.1 PocketPC\n"},
      {"pocketpc-5.2", "5.2 PocketPC\n"},
      {"smartphone-5.1", "5.1 SmartPhone\n"},
      {"smartphone-5.2", "5.2 SmartPhone\n"},
  };
  EXPECT_EQ(nxtest::runHelper({"sysinfo"}).out, "5.1 PocketPC\n") << "the default";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    svctest::Run r = nx({"init", "--kind", c.kind});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(nxtest::runHelper({"sysinfo"}).out, c.reported);
  }
  svctest::Run bad = nx({"init", "--kind", "pocketpc-6.0"});
  EXPECT_NE(bad.code, 0);
  EXPECT_EQ(nxtest::runHelper({"sysinfo"}).out, "5.2 SmartPhone\n") << "a refused kind changes nothing";
}

}  // namespace
