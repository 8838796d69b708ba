// The service host with real processes: nxservices on a test device, services
// registered and deregistered from the test and from helper processes.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "ce/service_host.h"
#include "service_fixture.h"
#include "testkit.h"

namespace {

using namespace ce;
using svctest::journal;
using svctest::writable;

constexpr const char16_t* kLibrary = u"\\Windows\\ce_test_service.dll";

std::vector<ce::servicehost::ServiceRecord> running() {
  ce::servicehost::HostState st;
  if (!ce::servicehost::ReadState(st)) return {};
  return st.services;
}

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const auto& s : running()) out.push_back(utf16ToUtf8(s.name));
  return out;
}

size_t count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class ServiceHost : public ::testing::Test {
 protected:
  // A fast clock: Init's sleeps and the callers' time-outs pass quickly.
  nxtest::TempDevice dev{50.0};
  svctest::HostProcess host;

  void SetUp() override {
    dev.writeFile("Windows/ce_test_service.dll", svctest::serviceLibrary());
    ASSERT_TRUE(host.start()) << dev.readFile(".ce/services.log");
  }

  HANDLE reg(const char16_t* name, DWORD context, const char16_t* dll = u"ce_test_service.dll") {
    return RegisterService(name, static_cast<DWORD>(name[3] - u'0'), dll, context);
  }
};

TEST_F(ServiceHost, RegisteredByOneProcessAndDeregisteredByAnother) {
  // Init sleeps 200 device ms: the caller must not be answered before it returned.
  nxtest::ProcResult a = nxtest::runHelper({"svcreg", "TSV0:", "0", "ce_test_service.dll", "0xA00000C8"});
  ASSERT_EQ(a.out.rfind("ok ", 0), 0u) << a.out;
  EXPECT_NE(a.out.find(" done"), std::string::npos) << "answered before Init returned: " << a.out;

  // Init ran in the host, not in the process that asked.
  std::vector<std::string> j = journal(dev);
  std::vector<int> pids = svctest::journalPids(dev);
  ASSERT_EQ(j, (std::vector<std::string>{"TSV_Init A00000C8", "TSV_Init done A00000C8"}));
  EXPECT_EQ(pids[0], host.pid());

  auto list = running();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, u"TSV0:");
  EXPECT_EQ(list[0].dll, u"ce_test_service.dll");
  EXPECT_EQ(list[0].path, kLibrary);
  EXPECT_EQ(list[0].entries, "Init Deinit Open Close IOControl");
  EXPECT_FALSE(writable(kLibrary)) << "the host holds the library loaded";

  nxtest::ProcResult b = nxtest::runHelper({"svcdereg", "TSV0:"});
  EXPECT_EQ(b.out, "ok ce_test_service.dll\n");
  j = journal(dev);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[2], "TSV_Deinit A00000C8");
  EXPECT_EQ(svctest::journalPids(dev)[2], host.pid());
  EXPECT_TRUE(writable(kLibrary)) << "Deregister unloads the library";
  EXPECT_TRUE(running().empty());
  EXPECT_EQ(GetServiceHandle(u"TSV0:", nullptr, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceHost, InitFailingLeavesNothingLoaded) {
  struct Case {
    DWORD context;
    DWORD error;
  } cases[] = {
      {0, ERROR_OPEN_FAILED},            // answers 0 and says nothing
      {0xE0000000u | 5, ERROR_ACCESS_DENIED},  // its own last error is passed on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.context);
    SetLastError(0);
    EXPECT_EQ(reg(u"TSV0:", c.context), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(writable(kLibrary)) << "the library was unloaded again";
    EXPECT_TRUE(running().empty());
  }
  // The name is free again.
  HANDLE h = reg(u"TSV0:", 9);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(names(), std::vector<std::string>{"TSV0:"});
  EXPECT_TRUE(DeregisterService(h));
}

TEST_F(ServiceHost, SecondRegistrationIsRefusedWithoutLoadingAgain) {
  HANDLE first = reg(u"TSV0:", 5);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reg(u"TSV0:", 6), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_IN_USE);
  EXPECT_EQ(count(journal(dev), "TSV_Init 6"), 0u) << "a refused registration runs no Init";

  // Another index of the same family is another service of the same library.
  HANDLE second = reg(u"TSV1:", 6);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(names(), (std::vector<std::string>{"TSV0:", "TSV1:"}));
  EXPECT_TRUE(DeregisterService(first));
  EXPECT_FALSE(writable(kLibrary)) << "still loaded for TSV1:";
  EXPECT_FALSE(DeregisterService(first)) << "a handle is good for one deregistration";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(DeregisterService(second));
  EXPECT_TRUE(writable(kLibrary));
}

TEST_F(ServiceHost, BadRequestsGetStatedCodes) {
  const std::u16string longName(300, u'a');
  struct Case {
    const char16_t* prefix;
    DWORD index;
    const char16_t* dll;
    DWORD error;
  } cases[] = {
      {u"TSV0", 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},     // no colon
      {u"TS0:", 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},     // two letters
      {u"TSV10:", 1, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},   // two digits
      {u"T1V0:", 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},    // a digit among the letters
      {u"TSVA:", 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},    // no digit
      {u"TSV0:", 1, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},    // index and name disagree
      {u"", 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},
      {nullptr, 0, u"ce_test_service.dll", ERROR_INVALID_PARAMETER},
      {u"TSV0:", 0, nullptr, ERROR_INVALID_PARAMETER},
      {u"TSV0:", 0, u"", ERROR_INVALID_PARAMETER},
      {u"TSV0:", 0, longName.c_str(), ERROR_FILENAME_EXCED_RANGE},
      {u"TSV0:", 0, u"missing.dll", ERROR_MOD_NOT_FOUND},
      {u"TSV0:", 0, u"\\Windows\\nowhere\\x.dll", ERROR_MOD_NOT_FOUND},
      {u"TSX0:", 0, u"ce_test_service.dll", ERROR_PROC_NOT_FOUND},       // Init without Deinit
      {u"ZZZ0:", 0, u"ce_test_service.dll", ERROR_PROC_NOT_FOUND},       // no such family
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix ? utf16ToUtf8(c.prefix) + " " + (c.dll ? utf16ToUtf8(c.dll).substr(0, 40) : "null") : "null");
    SetLastError(0);
    EXPECT_EQ(RegisterService(c.prefix, c.index, c.dll, 1), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(running().empty());
  EXPECT_TRUE(writable(kLibrary)) << "a family that is missing leaves the library unloaded";
  EXPECT_EQ(count(journal(dev), "TSX_Init 1"), 0u);

  EXPECT_EQ(GetServiceHandle(u"TSV", nullptr, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  for (HANDLE bogus : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234)}) {
    EXPECT_FALSE(DeregisterService(bogus));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST_F(ServiceHost, LibraryIsLookedForInWindowsThenInTheInstallationDirectory) {
  // Only in the installation directory the registry names.
  dev.writeFile("Apps/Nyxel AntiVirus/ce_test_other.dll", svctest::serviceLibrary());
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string dir = u"\\Apps";
  RegSetValueExW(key, u"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                 static_cast<DWORD>((dir.size() + 1) * 2));
  RegCloseKey(key);
  HANDLE a = reg(u"TSV0:", 1, u"ce_test_other.dll");
  ASSERT_NE(a, nullptr) << GetLastError();
  // In both: "\Windows" wins.
  dev.writeFile("Windows/ce_test_other.dll", svctest::serviceLibrary());
  HANDLE b = reg(u"TSV1:", 1, u"ce_test_other.dll");
  ASSERT_NE(b, nullptr);
  // A device path is taken as it is.
  HANDLE c = reg(u"TSV2:", 1, u"\\Apps\\Nyxel AntiVirus\\ce_test_other.dll");
  ASSERT_NE(c, nullptr);
  auto list = running();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path, u"\\Apps\\Nyxel AntiVirus\\ce_test_other.dll");
  EXPECT_EQ(list[1].path, u"\\Windows\\ce_test_other.dll");
  EXPECT_EQ(list[2].path, u"\\Apps\\Nyxel AntiVirus\\ce_test_other.dll");
  WCHAR dll[MAX_PATH];
  DWORD bytes = 4;
  EXPECT_EQ(GetServiceHandle(u"TSV2:", dll, &bytes), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(bytes, (std::u16string(u"\\Apps\\Nyxel AntiVirus\\ce_test_other.dll").size() + 1) * 2);
  EXPECT_EQ(GetServiceHandle(u"TSV2:", dll, &bytes), c);
  EXPECT_EQ(std::u16string(dll), u"\\Apps\\Nyxel AntiVirus\\ce_test_other.dll");
}

TEST_F(ServiceHost, IoControlReachesTheServiceInTheHost) {
  HANDLE h = reg(u"TSV0:", 0x42);
  ASSERT_NE(h, nullptr);
  char out[64] = {};
  DWORD got = 0;
  char in[] = "ping";
  ASSERT_TRUE(ServiceIoControl(h, 1, in, 4, out, sizeof out, &got, nullptr));
  EXPECT_EQ(std::string(out, got), "ping");
  ASSERT_TRUE(ServiceIoControl(h, 3, nullptr, 0, out, sizeof out, &got, nullptr));
  EXPECT_EQ(std::string(out, got), "42 " + std::to_string(host.pid())) << "IOControl gets Init's answer";
  EXPECT_FALSE(ServiceIoControl(h, 2, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  std::vector<char> big(kServiceIoControlMax + 1);
  EXPECT_FALSE(ServiceIoControl(h, 1, big.data(), static_cast<DWORD>(big.size()), out, sizeof out, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE w = reg(u"TSW0:", 1);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(ServiceIoControl(w, 1, in, 4, out, sizeof out, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << "TSW has no IOControl";
}

TEST_F(ServiceHost, InitMayRegisterAnotherServiceItself) {
  HANDLE h = reg(u"TSV0:", 0xB0000000u);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(count(journal(dev), "TSV_Init registered TSW0: ok"), 1u);
  EXPECT_EQ(names(), (std::vector<std::string>{"TSW0:", "TSV0:"})) << "listed in the order they came up";
  std::u16string stopped;
  ASSERT_TRUE(ce::servicehost::Shutdown(&stopped));
  EXPECT_EQ(stopped, u"TSV0: TSW0:") << "the one that started the other stops first";
}

TEST_F(ServiceHost, ShutdownStopsEveryServiceLastFirstAndEndsTheHost) {
  ASSERT_NE(reg(u"TSV0:", 1), nullptr);
  ASSERT_NE(reg(u"TSW0:", 2), nullptr);
  std::u16string stopped;
  ASSERT_TRUE(ce::servicehost::Shutdown(&stopped));
  EXPECT_EQ(stopped, u"TSW0: TSV0:");
  std::vector<std::string> j = journal(dev);
  ASSERT_GE(j.size(), 2u);
  EXPECT_EQ(j[j.size() - 2], "TSW_Deinit 2");
  EXPECT_EQ(j[j.size() - 1], "TSV_Deinit 1");
  EXPECT_EQ(host.wait(), 0);
  ce::servicehost::HostState st;
  EXPECT_FALSE(ce::servicehost::ReadState(st)) << "a clean stop leaves no state behind";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceHost, OnlyOneHostServesADevice) {
  svctest::HostProcess second;
  EXPECT_FALSE(second.start());
  EXPECT_NE(dev.readFile(".ce/services.log").find("a service host is running on"), std::string::npos);
  EXPECT_TRUE(ce::servicehost::Ping());
}

TEST_F(ServiceHost, RequestsMeantForAnotherHostAreDropped) {
  // A request left in the queue by a caller of an earlier host: that caller
  // was failed when its host ended, so a later host must not carry it out.
  ce::servicehost::Request rq{};
  rq.magic = ce::servicehost::kRequestMagic;
  rq.op = static_cast<uint32_t>(ce::servicehost::Op::Register);
  rq.hostPid = static_cast<int32_t>(::getpid());
  rq.hostStart = 1;
  std::memcpy(rq.prefix, u"TSV0:", 10);
  std::memcpy(rq.dll, u"ce_test_service.dll", 40);
  rq.context = 77;
  MSGQUEUEOPTIONS o{sizeof o, 0, ce::servicehost::kQueueDepth, sizeof rq, FALSE};
  HANDLE q = CreateMsgQueue(ce::servicehost::kRequestQueueName, &o);
  ASSERT_NE(q, nullptr);
  ASSERT_TRUE(WriteMsgQueue(q, &rq, sizeof rq, 0, 0));
  CloseMsgQueue(q);
  // Requests are served in order: once this one is answered the other was seen.
  ASSERT_TRUE(ce::servicehost::Ping());
  EXPECT_EQ(count(journal(dev), "TSV_Init 4D"), 0u);
  EXPECT_TRUE(running().empty());
}

// Without a host, and with a host that ends while a caller waits.
class NoServiceHost : public ::testing::Test {
 protected:
  nxtest::TempDevice dev{100.0};
  void SetUp() override { dev.writeFile("Windows/ce_test_service.dll", svctest::serviceLibrary()); }
};

TEST_F(NoServiceHost, CallersGetAClearErrorAfterTheTimeOut) {
  SetLastError(0);
  EXPECT_EQ(RegisterService(u"TSV0:", 0, u"ce_test_service.dll", 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(GetServiceHandle(u"TSV0:", nullptr, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(ce::servicehost::Ping());
  EXPECT_TRUE(journal(dev).empty());
}

TEST_F(NoServiceHost, AHostThatCrashesInInitFailsTheCallerAndANewOneStartsClean) {
  svctest::HostProcess host;
  ASSERT_TRUE(host.start());
  ASSERT_NE(RegisterService(u"TSW0:", 0, u"ce_test_service.dll", 3), nullptr);
  SetLastError(0);
  EXPECT_EQ(RegisterService(u"TSV0:", 0, u"ce_test_service.dll", 0xC0000000u), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_NE(host.wait(), 0);
  ce::servicehost::HostState st;
  ASSERT_TRUE(ce::servicehost::ReadState(st));
  EXPECT_FALSE(st.running);
  EXPECT_TRUE(st.services.empty());
  EXPECT_TRUE(writable(u"\\Windows\\ce_test_service.dll")) << "nothing of the dead host holds the library";

  svctest::HostProcess next;
  ASSERT_TRUE(next.start());
  ASSERT_TRUE(ce::servicehost::ReadState(st));
  EXPECT_TRUE(st.services.empty()) << "the new host starts clean";
  EXPECT_NE(RegisterService(u"TSW0:", 0, u"ce_test_service.dll", 3), nullptr) << GetLastError();
}

TEST_F(NoServiceHost, ACallerWaitingForInitIsFailedWhenTheHostIsKilled) {
  SetClockSpeed(1.0);
  svctest::HostProcess host;
  ASSERT_TRUE(host.start());
  DWORD error = 0;
  HANDLE result = reinterpret_cast<HANDLE>(1);
  // Init sleeps 65 seconds: far longer than the test waits.
  std::thread caller([&] {
    result = RegisterService(u"TSV0:", 0, u"ce_test_service.dll", 0xA000FFFFu);
    error = GetLastError();
  });
  for (int i = 0; i < 2000 && journal(dev).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(journal(dev), std::vector<std::string>{"TSV_Init A000FFFF"});
  host.kill();
  caller.join();
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(error, ERROR_SERVICE_NOT_ACTIVE);
}

}  // namespace
