// nxstartup.exe as the handset runs it at start: a process of the device,
// with the real service host, deciding from the settings what to register.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "common/options_files.h"
#include "setup_fixture.h"

namespace {

using namespace setuptest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr ce::DWORD kInternetDelayMs = 180000;

struct BootRun {
  ce::DWORD exitCode = 0;
  ce::DWORD startTick = 0;
  ce::DWORD endTick = 0;
  double hostSeconds = 0;
};

// Runs the image's nxstartup.exe on the device as its start-up program.
BootRun runBoot() {
  BootRun r;
  EXPECT_TRUE(ce::MapDeviceProgram(u"\\Windows\\nxstartup.exe", buildFile("image/nxstartup.exe")));
  ce::PROCESS_INFORMATION pi{};
  std::u16string args;
  const auto began = Clock::now();
  r.startTick = ce::GetTickCount();
  if (!ce::CreateProcessW(u"\\Windows\\nxstartup.exe", args.data(), nullptr, nullptr, ce::FALSE, 0, nullptr, nullptr,
                          nullptr, &pi)) {
    ADD_FAILURE() << "cannot start nxstartup.exe: " << ce::GetLastError();
    return r;
  }
  EXPECT_EQ(ce::WaitForSingleObject(pi.hProcess, 3600000), ce::WAIT_OBJECT_0);
  r.endTick = ce::GetTickCount();
  r.hostSeconds = std::chrono::duration<double>(Clock::now() - began).count();
  ce::GetExitCodeProcess(pi.hProcess, &r.exitCode);
  ce::CloseHandle(pi.hProcess);
  return r;
}

// The ticks at which the update stand-in was started.
std::vector<ce::DWORD> updateStarts(const SetupDevice& s) {
  std::vector<ce::DWORD> out;
  std::ifstream in(s.dev.host("Temp/upd-init.txt"));
  for (std::string line; std::getline(in, line);) out.push_back(static_cast<ce::DWORD>(std::stoul(line)));
  return out;
}

bool registered(const char16_t* name) { return ce::GetServiceHandle(name, nullptr, nullptr) != ce::INVALID_HANDLE_VALUE; }

// A device with the installation and its settings files, the update service
// stood in for.
void prepare(SetupDevice& s) {
  s.copyImage();
  fs::copy_file(UPDATE_STAND_IN, s.installHost() + "/updsvc.dll", fs::copy_options::overwrite_existing);
  fs::create_directories(s.installHost() + "/Config");
  fs::create_directories(s.dev.host("Temp"));
}

void writeSettings(const SetupDevice& s, int online, int general, int autoUpdate, int source) {
  nx::WM_ONLINE_OPTS o{};
  o.bEnabled = static_cast<ce::BYTE>(online);
  o.bAction = 1;
  nx::WM_GENERAL_OPTS g{};
  g.bScanCardOnInsert = static_cast<ce::BYTE>(general);
  nx::WM_UPDATE_OPTS u{};
  u.bAutoUpdate = static_cast<ce::BYTE>(autoUpdate);
  u.bSource = static_cast<ce::BYTE>(source);
  ASSERT_TRUE(nx::CWmOptionsGen::WriteOnlineOpts(s.installDev.c_str(), &o, nx::kOptionsReadCurrent));
  ASSERT_TRUE(nx::CWmOptionsGen::WriteGeneralOpts(s.installDev.c_str(), &g, nx::kOptionsReadCurrent));
  ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(s.installDev.c_str(), &u, nx::kOptionsReadCurrent));
}

enum class Settings { Written, Missing, DamagedOnline };

struct BootCase {
  const char* name;
  Settings settings;
  int online, general, autoUpdate, source;
  bool guard;
  bool update;
  bool waits;  // the update service only after the start-up delay
};

class BootTest : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootTest, RegistersWhatTheSettingsAskFor) {
  const BootCase& c = GetParam();
  SetupDevice s(100.0);
  prepare(s);
  writeSettings(s, c.online, c.general, c.autoUpdate, c.source);
  std::string damaged;
  if (c.settings == Settings::Missing) {
    fs::remove_all(s.installHost() + "/Config");
    fs::create_directories(s.installHost() + "/Config");
  } else if (c.settings == Settings::DamagedOnline) {
    std::fstream f(s.installHost() + "/Config/wmolncnf.dat", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(8);
    f.put('\x01');  // protection "on", but the checksum no longer matches
    f.close();
    std::ifstream in(s.installHost() + "/Config/wmolncnf.dat", std::ios::binary);
    damaged.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_TRUE(s.startHost());

  const BootRun r = runBoot();
  EXPECT_EQ(r.exitCode, 1u);

  EXPECT_EQ(registered(u"OLN0:"), c.guard);
  EXPECT_EQ(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"), c.guard);
  if (c.guard) {
    EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"), expectedServiceKey(true));
  }
  EXPECT_EQ(registered(u"UPD0:"), c.update);
  EXPECT_EQ(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), c.update);
  const auto starts = updateStarts(s);
  if (c.update) {
    EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), expectedServiceKey(false));
    ASSERT_EQ(starts.size(), 1u);
    const ce::DWORD after = starts[0] - r.startTick;
    if (c.waits) {
      EXPECT_GE(after, kInternetDelayMs) << "the update service started before the start-up delay";
    } else {
      EXPECT_LT(after, kInternetDelayMs) << "a local update folder needs no delay";
    }
  } else {
    EXPECT_TRUE(starts.empty());
    // With nothing to wait for the program ends at once.
    EXPECT_LT(r.endTick - r.startTick, kInternetDelayMs);
  }

  if (c.settings == Settings::Missing) {
    // Rebuilt from the built-in defaults: protection and card scan on,
    // scheduled updates off.
    for (const char* f : {"wmolncnf.dat", "dfolncnf.dat", "wmgencnf.dat", "wmupdcnf.dat"})
      EXPECT_TRUE(fs::exists(s.installHost() + "/Config/" + f)) << f;
  }
  if (c.settings == Settings::DamagedOnline) {
    std::ifstream in(s.installHost() + "/Config/wmolncnf.dat", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), damaged);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BootTest,
    ::testing::Values(BootCase{"EverythingOff", Settings::Written, 0, 0, 0, 0, false, false, false},
                      BootCase{"ProtectionOn", Settings::Written, 1, 0, 0, 0, true, false, false},
                      BootCase{"CardScanOnly", Settings::Written, 0, 1, 0, 0, true, false, false},
                      BootCase{"UpdateFromAFolder", Settings::Written, 0, 0, 1, 1, false, true, false},
                      BootCase{"UpdateFromTheInternet", Settings::Written, 1, 1, 1, 0, true, true, true},
                      BootCase{"UpdateFromAnUnknownSource", Settings::Written, 0, 0, 1, 2, false, true, false},
                      BootCase{"MissingSettingsFiles", Settings::Missing, 0, 0, 1, 1, true, false, false},
                      BootCase{"DamagedOnAccessSettings", Settings::DamagedOnline, 0, 0, 0, 0, false, false, false},
                      BootCase{"DamagedOnAccessButCardScanOn", Settings::DamagedOnline, 0, 1, 0, 0, true, false,
                               false}),
    [](const ::testing::TestParamInfo<BootCase>& i) { return std::string(i.param.name); });

// Before the delay is over the update service is not there yet, while the
// guard is running already.
TEST(Boot, TheUpdateServiceComesOnlyAfterTheDelay) {
  SetupDevice s(100.0);
  prepare(s);
  writeSettings(s, 1, 0, 1, 0);
  ASSERT_TRUE(s.startHost());
  EXPECT_TRUE(ce::MapDeviceProgram(u"\\Windows\\nxstartup.exe", buildFile("image/nxstartup.exe")));
  ce::PROCESS_INFORMATION pi{};
  std::u16string args;
  const ce::DWORD start = ce::GetTickCount();
  ASSERT_TRUE(ce::CreateProcessW(u"\\Windows\\nxstartup.exe", args.data(), nullptr, nullptr, ce::FALSE, 0, nullptr,
                                 nullptr, nullptr, &pi));
  // The update service's key is written before the wait, after the guard.
  ASSERT_TRUE(waitFor([] { return keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"); }, 60000));
  EXPECT_TRUE(registered(u"OLN0:"));
  if (ce::GetTickCount() - start < kInternetDelayMs - 30000) {
    EXPECT_FALSE(registered(u"UPD0:"));
    EXPECT_EQ(ce::WaitForSingleObject(pi.hProcess, 0), ce::WAIT_TIMEOUT) << "ended without waiting";
  }
  ASSERT_EQ(ce::WaitForSingleObject(pi.hProcess, 3600000), ce::WAIT_OBJECT_0);
  ce::CloseHandle(pi.hProcess);
  EXPECT_TRUE(registered(u"UPD0:"));
  EXPECT_GE(ce::GetTickCount() - start, kInternetDelayMs);
}

// Without a service host every registration fails promptly and the program
// ends as usual, its keys written.
TEST(Boot, WithoutAServiceHostItEndsPromptly) {
  SetupDevice s(10.0);
  prepare(s);
  writeSettings(s, 1, 0, 1, 1);
  const BootRun r = runBoot();
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_LT(r.hostSeconds, 20.0);
  // Each request waits for a host only for the connect time-out.
  EXPECT_LT(r.endTick - r.startTick, 2 * ce::kServiceHostConnectTimeoutMs + 60000);
  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"), expectedServiceKey(true));
  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), expectedServiceKey(false));
}

// The guard's library lies in the installation directory: with no
// installation there nothing is registered and no key names a missing library.
TEST(Boot, WithoutTheInstallationNothingIsRegistered) {
  SetupDevice s(100.0, u"\\Storage Card\\Nyxel");  // a card that is not inserted
  ASSERT_TRUE(s.startHost());
  const BootRun r = runBoot();
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_FALSE(registered(u"OLN0:"));
  EXPECT_FALSE(registered(u"UPD0:"));
  EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"));
  EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"));
}

// With the image's own updsvc.dll missing, what can be seen is the key and
// the host's answer to the request.
TEST(Boot, AMissingUpdateLibraryIsRequestedAndRefusedByTheHost) {
  SetupDevice s(100.0);
  prepare(s);
  fs::remove(s.installHost() + "/updsvc.dll");
  writeSettings(s, 0, 0, 1, 1);
  ASSERT_TRUE(s.startHost());
  const BootRun r = runBoot();
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_EQ(keyValues(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"), expectedServiceKey(false));
  EXPECT_FALSE(registered(u"UPD0:"));
  EXPECT_TRUE(waitFor([&] {
    return s.dev.readFile(".ce/services.log").find("UPD0: updsvc.dll not found") != std::string::npos;
  })) << s.dev.readFile(".ce/services.log");
}

}  // namespace
