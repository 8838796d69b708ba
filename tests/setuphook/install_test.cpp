// Installing: the device check, the previous-installation check, and what
// Install_Exit leaves on the device, through the real setuphook.dll.
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ce/screen.h"
#include "common/options_files.h"
#include "common/queue_sender.h"
#include "setup_fixture.h"

namespace {

using namespace setuptest;
namespace fs = std::filesystem;

const std::string kNotApplicable = "The provided setup is not applicable for this device.";
const std::string kAlreadyInstalled =
    "Nyxel is already installed on this system.You will need to uninstall the previous version before proceeding "
    "with new installation.";
const std::string kNotValid = "Setup is not valid";
constexpr int kBoxType = 0x40040;  // information icon, topmost

void expectBox(const Json& box, const std::string& text) {
  EXPECT_EQ(box.value("text", ""), text);
  EXPECT_EQ(box.value("caption", ""), "Nyxel");
  EXPECT_EQ(box.value("type", 0), kBoxType);
}

// ---- Device kinds ---------------------------------------------------------------

struct KindCase {
  const char* name;
  const char* kind;  // written into the device's settings as they stand
  bool accepted;
};

class DeviceKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(DeviceKindTest, OnlyPocketPcsAreAccepted) {
  const KindCase& c = GetParam();
  SetupDevice s;
  {
    std::ofstream conf(s.dev.host(".ce/device.conf"), std::ios::app);
    conf << "kind=" << c.kind << "\n";
  }
  s.loadHooks();
  const int rc = s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str());
  auto boxes = s.messageBoxes();
  if (c.accepted) {
    EXPECT_EQ(rc, ce::codeINSTALL_INIT_CONTINUE);
    EXPECT_TRUE(boxes.empty());
  } else {
    EXPECT_EQ(rc, ce::codeINSTALL_INIT_CANCEL);
    ASSERT_EQ(boxes.size(), 1u);
    expectBox(boxes[0], kNotApplicable);
  }
}

// A kind the device does not know reads as the default Windows Mobile 5
// Pocket PC, which is supported.
INSTANTIATE_TEST_SUITE_P(Kinds, DeviceKindTest,
                         ::testing::Values(KindCase{"PocketPc51", "pocketpc-5.1", true},
                                           KindCase{"PocketPc52", "pocketpc-5.2", true},
                                           KindCase{"Smartphone51", "smartphone-5.1", false},
                                           KindCase{"Smartphone52", "smartphone-5.2", false},
                                           KindCase{"UnknownReadsAsTheDefault", "wince-4.2", true}),
                         [](const ::testing::TestParamInfo<KindCase>& i) { return std::string(i.param.name); });

// ---- A previous installation ------------------------------------------------------

enum class Library { Real, Missing, Partial };

struct PreviousCase {
  const char* name;
  Library library;           // the string library in the installation directory
  const char16_t* userKey;   // below HKCU, made beforehand; nullptr: none
  bool refused;
};

class PreviousInstallTest : public ::testing::TestWithParam<PreviousCase> {};

TEST_P(PreviousInstallTest, FoundThroughTheStringLibraryAndTheCompanyKey) {
  const PreviousCase& c = GetParam();
  SetupDevice s;
  s.copyImage(c.library == Library::Real ? std::vector<std::string>{} : std::vector<std::string>{"uires.dll"});
  if (c.library == Library::Partial)
    fs::copy_file(std::string(UIRES_PARTIAL_DIR) + "/uires.dll", s.installHost() + "/uires.dll");
  if (c.userKey) createKey(ce::HKEY_CURRENT_USER, c.userKey);
  s.loadHooks();
  const int rc = s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str());
  if (c.refused) {
    EXPECT_EQ(rc, ce::codeINSTALL_INIT_CANCEL);
    auto boxes = s.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    expectBox(boxes[0], kAlreadyInstalled);
  } else {
    EXPECT_EQ(rc, ce::codeINSTALL_INIT_CONTINUE);
    EXPECT_TRUE(s.messageBoxes().empty());
  }
  // The check leaves the library unloaded: the installer may overwrite it.
  EXPECT_TRUE(svctest::writable((s.installDev + u"\\uires.dll").c_str()) || c.library == Library::Missing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreviousInstallTest,
    ::testing::Values(PreviousCase{"LibraryAndKey", Library::Real, u"Software\\Nyxel", true},
                      PreviousCase{"LibraryWithoutKey", Library::Real, nullptr, false},
                      PreviousCase{"KeyWithoutLibraryIsAFreshInstall", Library::Missing, u"Software\\Nyxel", false},
                      PreviousCase{"CompanyNameFromTheLibrary", Library::Partial, u"Software\\Nyxel (test library)",
                                   true},
                      PreviousCase{"AnotherCompanysKey", Library::Partial, u"Software\\Nyxel", false}),
    [](const ::testing::TestParamInfo<PreviousCase>& i) { return std::string(i.param.name); });

// ---- Install_Exit -----------------------------------------------------------------

// The paths the options layer tells the guard it is about to write, in order.
class IgnoreMessages {
 public:
  IgnoreMessages() {
    ce::MSGQUEUEOPTIONS o = nx::guardQueueOptions(true);
    queue_ = ce::CreateMsgQueue(nx::kGuardQueueName, &o);
    reader_ = std::thread([this] {
      while (!stop_) {
        char16_t msg[300] = {};
        ce::DWORD got = 0, flags = 0;
        if (ce::ReadMsgQueue(queue_, msg, sizeof msg - 2, &got, 20, &flags) && got >= 2 && msg[0] == u'1')
          written_.push_back(u8(std::u16string(msg + 1)));
      }
    });
  }
  ~IgnoreMessages() { finish(); }
  std::vector<std::string> finish() {
    if (reader_.joinable()) {
      stop_ = true;
      reader_.join();
      ce::CloseMsgQueue(queue_);
    }
    return written_;
  }

 private:
  ce::HANDLE queue_ = nullptr;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::vector<std::string> written_;
};

TEST(InstallExit, PreparesFoldersSettingsKeysVersionAndHelp) {
  SetupDevice s;
  s.loadHooks();
  ASSERT_EQ(s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str()), ce::codeINSTALL_INIT_CONTINUE);
  s.copyImage();
  fs::remove_all(s.dev.host("Windows/Help"));
  IgnoreMessages messages;
  // No service host runs: the guard cannot start now and setup goes on.
  EXPECT_EQ(s.installExit(nullptr, s.installDev.c_str(), 0, 0, 0, 0, 0), ce::codeINSTALL_EXIT_DONE);
  const std::vector<std::string> written = messages.finish();

  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine"})
    EXPECT_TRUE(fs::is_directory(s.installHost() + "/" + sub)) << sub;

  // Each area: its defaults file made from the built-in defaults, then the
  // current file from it; in the order general, scan, on-access, update,
  // internet. The schedule is the scanner program's own.
  const std::string dir = u8(s.installDev) + "\\Config\\";
  std::vector<std::string> want;
  for (const char* area : {"gen", "scn", "oln", "upd", "int"}) {
    want.push_back(dir + "df" + area + "cnf.dat");
    want.push_back(dir + "wm" + area + "cnf.dat");
  }
  EXPECT_EQ(written, want);
  EXPECT_FALSE(fs::exists(s.installHost() + "/Config/wmschcnf.dat"));
  nx::WM_ONLINE_OPTS online{};
  ASSERT_TRUE(nx::CWmOptionsGen::ReadOnlineOpts(s.installDev.c_str(), &online, nx::kOptionsDefaults));
  EXPECT_EQ(online.bEnabled, 1);
  EXPECT_EQ(online.bAction, 1);
  EXPECT_EQ(online.bQuarantine, 1);
  nx::WM_UPDATE_OPTS update{};
  update.bAutoUpdate = 7;
  ASSERT_TRUE(nx::CWmOptionsGen::ReadUpdateOpts(s.installDev.c_str(), &update, nx::kOptionsReadCurrent));
  EXPECT_EQ(update.bAutoUpdate, 0);

  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"), expectedServiceKey(true));
  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), expectedServiceKey(false));
  // The image's scanver.cnf is engine 1.00.
  EXPECT_EQ(keyValues(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus\\1.00"),
            std::vector<std::string>{"Current Version=1.00"});

  ce::WCHAR target[300];
  ASSERT_TRUE(ce::SHGetShortcutTarget(u"\\Windows\\Help\\Nyxel AntiVirus.lnk", target, 300));
  EXPECT_EQ(u8(target), "\"\\Windows\\NXAVWM.htm\"");
  EXPECT_EQ(s.dev.readFile("Windows/Help/Nyxel AntiVirus.lnk"), "21#\"\\Windows\\NXAVWM.htm\"");
  EXPECT_TRUE(s.messageBoxes().empty());
}

// The help page the shortcut names is the one the guard's help command opens.
TEST(InstallExit, TheHelpPageIsTheOneTheGuardOpens) {
  SetupDevice s;
  ASSERT_EQ(s.install(), ce::codeINSTALL_EXIT_DONE);
  const std::string page = s.dev.readFile("Windows/NXAVWM.htm");
  EXPECT_NE(page.find("<html>"), std::string::npos);
  EXPECT_NE(page.find("</html>"), std::string::npos);
  ASSERT_TRUE(ce::MapDeviceProgram(u"\\Windows\\peghelp.exe", buildFile("bin/peghelp")));
  // The guard's notification dialog asks the viewer for this address.
  std::u16string address = u"file://\\Windows\\nxavwm.htm";
  ce::PROCESS_INFORMATION pi{};
  ASSERT_TRUE(ce::CreateProcessW(u"\\Windows\\peghelp.exe", address.data(), nullptr, nullptr, ce::FALSE, 0, nullptr,
                                 nullptr, nullptr, &pi));
  ASSERT_EQ(ce::WaitForSingleObject(pi.hProcess, 600000), ce::WAIT_OBJECT_0);
  ce::CloseHandle(pi.hProcess);
  uint64_t next = 0, skipped = 0;
  bool opened = false;
  for (const std::string& line : ce::screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || j.value("event", "") != "open") continue;
    opened = true;
    EXPECT_TRUE(j.value("found", false)) << line;
    EXPECT_TRUE(ce::equalsNoCase(u16(j.value("path", "")), u"\\Windows\\NXAVWM.htm")) << line;
  }
  EXPECT_TRUE(opened);
}

TEST(InstallExit, WithARunningServiceHostTheGuardStarts) {
  SetupDevice s(20.0);
  ASSERT_TRUE(s.startHost());
  ASSERT_EQ(s.install(), ce::codeINSTALL_EXIT_DONE);
  char16_t dll[64] = {};
  ce::DWORD bytes = sizeof dll;
  ce::HANDLE h = ce::GetServiceHandle(u"OLN0:", dll, &bytes);
  ASSERT_NE(h, ce::INVALID_HANDLE_VALUE) << ce::GetLastError();
  EXPECT_EQ(u8(dll), "guardsvc.dll");
  // The update service only gets its key: the guard starts it when the
  // settings ask for scheduled updates.
  EXPECT_EQ(ce::GetServiceHandle(u"UPD0:", nullptr, nullptr), ce::INVALID_HANDLE_VALUE);
  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), expectedServiceKey(false));

  // Removal ends it before any file goes.
  ASSERT_EQ(s.uninstallInit(nullptr, s.installDev.c_str()), ce::codeUNINSTALL_INIT_CONTINUE);
  EXPECT_EQ(ce::GetServiceHandle(u"OLN0:", nullptr, nullptr), ce::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(svctest::writable((s.installDev + u"\\guardsvc.dll").c_str()));
  ASSERT_EQ(s.uninstallExit(nullptr), ce::codeUNINSTALL_EXIT_DONE);
  EXPECT_FALSE(s.exists(u"\\Program Files\\Nyxel"));
}

// The version key needs the whole 20-byte version record; without it setup
// says so and asks the installer to take the installation back, leaving no
// running guard and no company key of its own behind.
struct VersionCase {
  const char* name;
  std::optional<std::string> record;  // scanver.cnf as it lies; none: missing
  bool valid;
  const char16_t* key;  // the version key made when valid
};

class VersionKeyTest : public ::testing::TestWithParam<VersionCase> {};

std::string versionRecord(uint16_t major, uint16_t minor, size_t size = 20) {
  std::string r(20, '\0');
  r[0] = static_cast<char>(major);
  r[1] = static_cast<char>(major >> 8);
  r[2] = static_cast<char>(minor);
  r[3] = static_cast<char>(minor >> 8);
  r.resize(size, 'x');
  return r;
}

TEST_P(VersionKeyTest, IsWrittenOnlyFromAWholeRecord) {
  const VersionCase& c = GetParam();
  SetupDevice s(20.0);
  ASSERT_TRUE(s.startHost());
  s.loadHooks();
  ASSERT_EQ(s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str()), ce::codeINSTALL_INIT_CONTINUE);
  s.copyImage({"scanver.cnf"});
  if (c.record) {
    std::ofstream out(s.installHost() + "/scanver.cnf", std::ios::binary);
    out << *c.record;
  }
  const int rc = s.installExit(nullptr, s.installDev.c_str(), 0, 0, 0, 0, 0);
  if (c.valid) {
    EXPECT_EQ(rc, ce::codeINSTALL_EXIT_DONE);
    EXPECT_TRUE(s.messageBoxes().empty());
    EXPECT_EQ(keyValues(ce::HKEY_CURRENT_USER, std::u16string(u"Software\\Nyxel\\Nyxel AntiVirus\\") + c.key),
              std::vector<std::string>{"Current Version=" + u8(c.key)});
    EXPECT_NE(ce::GetServiceHandle(u"OLN0:", nullptr, nullptr), ce::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(s.exists(u"\\Windows\\Help\\Nyxel AntiVirus.lnk"));
    return;
  }
  EXPECT_EQ(rc, ce::codeINSTALL_EXIT_UNINSTALL);
  auto boxes = s.messageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], kNotValid);
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
  EXPECT_EQ(ce::GetServiceHandle(u"OLN0:", nullptr, nullptr), ce::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(svctest::writable((s.installDev + u"\\guardsvc.dll").c_str()));
  EXPECT_FALSE(s.exists(u"\\Windows\\Help\\Nyxel AntiVirus.lnk"));
  // A later installation is not taken for a second one.
  EXPECT_EQ(s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str()), ce::codeINSTALL_INIT_CONTINUE);
}

INSTANTIATE_TEST_SUITE_P(
    Records, VersionKeyTest,
    ::testing::Values(VersionCase{"Missing", std::nullopt, false, nullptr},
                      VersionCase{"Short", versionRecord(1, 0, 19), false, nullptr},
                      VersionCase{"Empty", std::string(), false, nullptr},
                      VersionCase{"MinorInTwoDigits", versionRecord(2, 5), true, u"2.05"},
                      VersionCase{"LongerFileReadsItsRecord", versionRecord(3, 12, 64), true, u"3.12"}),
    [](const ::testing::TestParamInfo<VersionCase>& i) { return std::string(i.param.name); });

// A company key that was there before setup (an earlier installation whose
// string library is gone) is not setup's to delete when the version fails.
TEST(InstallExit, AFailedVersionKeyKeepsACompanyKeyItDidNotMake) {
  SetupDevice s;
  setString(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Other", u"Kept", u"yes");
  ASSERT_EQ(s.install({"scanver.cnf"}), ce::codeINSTALL_EXIT_UNINSTALL);
  EXPECT_EQ(stringValue(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Other", u"Kept"), "yes");
}

// A damaged settings file at installation is refused by the options layer
// and left as it is; the rest of the installation goes on.
TEST(InstallExit, ADamagedSettingsFileIsLeftAndInstallationGoesOn) {
  SetupDevice s;
  s.loadHooks();
  s.copyImage();
  fs::create_directories(s.installHost() + "/Config");
  const std::string damaged = std::string("\x01\x01\x01\x01\xde\xad\xbe\xef", 8) + std::string(11, '\x01');
  {
    std::ofstream out(s.installHost() + "/Config/wmolncnf.dat", std::ios::binary);
    out << damaged;
  }
  EXPECT_EQ(s.installExit(nullptr, s.installDev.c_str(), 0, 0, 0, 0, 0), ce::codeINSTALL_EXIT_DONE);
  std::ifstream in(s.installHost() + "/Config/wmolncnf.dat", std::ios::binary);
  std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(now, damaged);
  // The defaults are reached only when a current file is missing.
  EXPECT_FALSE(fs::exists(s.installHost() + "/Config/dfolncnf.dat"));
  EXPECT_TRUE(fs::exists(s.installHost() + "/Config/dfintcnf.dat"));
  EXPECT_TRUE(fs::exists(s.installHost() + "/Config/wmintcnf.dat"));
  EXPECT_TRUE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus\\1.00"));
}

// Without the string library the built-in names are used, and with a library
// that has only the company name, that name and the built-in product name.
TEST(InstallExit, NamesOfTheVersionKeyComeFromTheStringLibrary) {
  {
    SetupDevice s;
    ASSERT_EQ(s.install({"uires.dll"}), ce::codeINSTALL_EXIT_DONE);
    EXPECT_TRUE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus\\1.00"));
  }
  SetupDevice s;
  s.loadHooks();
  ASSERT_EQ(s.installInit(nullptr, ce::TRUE, ce::FALSE, s.installDev.c_str()), ce::codeINSTALL_INIT_CONTINUE);
  s.copyImage({"uires.dll"});
  fs::copy_file(std::string(UIRES_PARTIAL_DIR) + "/uires.dll", s.installHost() + "/uires.dll");
  ASSERT_EQ(s.installExit(nullptr, s.installDev.c_str(), 0, 0, 0, 0, 0), ce::codeINSTALL_EXIT_DONE);
  EXPECT_EQ(stringValue(ce::HKEY_CURRENT_USER, u"Software\\Nyxel (test library)\\Nyxel AntiVirus\\1.00",
                        u"Current Version"),
            "1.00");
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
  // Removal deletes the key under the same name.
  s.uninstall();
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel (test library)"));
}

}  // namespace
