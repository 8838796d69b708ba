// Ignore messages crossing between real processes of one device: options
// writes and platform.dll's sender on one side, a guard-like reader holding
// "OlnMsgQueue" on the other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "common/ignore_list.h"
#include "common/options_files.h"
#include "common/queue_sender.h"
#include "testkit.h"

namespace {

// A helper line without its line end.
std::string lineOf(nxtest::HelperProcess& h) {
  std::string s = h.readLine();
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

using ce::DWORD;
using ce::WCHAR;
using nx::CWmOptionsGen;

const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
const std::string kHostDir = "Program Files/Nyxel/Nyxel AntiVirus";
const std::string kPlatform = "\\Program Files\\Nyxel\\Nyxel AntiVirus\\platform.dll";

std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }

class IgnoreQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dev.host(kHostDir + "/Config"));
    std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/image/platform.dll", dev.host(kHostDir + "/platform.dll"));
  }
  // Messages the listening helper has received since the last call.
  std::vector<std::string> heard(nxtest::HelperProcess& guard) {
    guard.writeLine("go");
    std::vector<std::string> out;
    for (;;) {
      std::string line = lineOf(guard);
      if (line == "end" || line.empty()) return out;
      out.push_back(line);
    }
  }
  // What a call of a platform export printed in the helper.
  std::vector<std::string> call(const std::string& fn, const std::string& path, int count = 1) {
    auto r = nxtest::runHelper({"oln_call", kPlatform, fn, path, std::to_string(count)});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < r.out.size()) {
      size_t nl = r.out.find('\n', at);
      if (nl == std::string::npos) nl = r.out.size();
      lines.push_back(r.out.substr(at, nl - at));
      at = nl + 1;
    }
    return lines;
  }
  std::vector<std::u16string> drain(ce::HANDLE reader, nx::IgnoreList* list = nullptr) {
    std::vector<std::u16string> out;
    for (;;) {
      WCHAR buf[270] = {};
      DWORD got = 0, flags = 0;
      if (!ce::ReadMsgQueue(reader, buf, nx::kGuardReadBufferBytes, &got, 0, &flags)) return out;
      out.emplace_back(buf, got / 2 - 1);
      if (list) list->apply(buf, got);
    }
  }

  nxtest::TempDevice dev;
};

TEST_F(IgnoreQueue, OptionsWritesReachAGuardInAnotherProcess) {
  nxtest::HelperProcess guard({"oln_listen", "2000"});
  ASSERT_EQ(lineOf(guard), "ready");
  nx::WM_ONLINE_OPTS o{};
  o.bEnabled = 1;
  ASSERT_TRUE(CWmOptionsGen::WriteOnlineOpts(kDir.c_str(), &o, 0));
  const std::string cur = u8(kDir) + "\\Config\\wmolncnf.dat";
  EXPECT_EQ(heard(guard), (std::vector<std::string>{"msg 1" + cur, "msg 0" + cur}));

  // A write that fails (no such folder) is bracketed all the same.
  const std::u16string gone = u"\\Gone";
  EXPECT_FALSE(CWmOptionsGen::WriteUpdateOpts(gone.c_str(), nullptr, 0));
  nx::WM_UPDATE_OPTS u{};
  EXPECT_FALSE(CWmOptionsGen::WriteUpdateOpts(gone.c_str(), &u, 0));
  const std::string bad = "\\Gone\\Config\\wmupdcnf.dat";
  EXPECT_EQ(heard(guard), (std::vector<std::string>{"msg 1" + bad, "msg 0" + bad}));

  // The longest path goes whole, one more character not at all.
  std::u16string p268 = u"\\" + std::u16string(267, u'p');
  EXPECT_TRUE(nx::sendIgnoreMessage(p268.c_str(), true));
  EXPECT_FALSE(nx::sendIgnoreMessage((p268 + u"q").c_str(), true));
  EXPECT_EQ(heard(guard), (std::vector<std::string>{"msg 1" + u8(p268)}));
}

TEST_F(IgnoreQueue, PlatformSenderInAnotherProcessFeedsTheGuardsList) {
  auto opts = nx::guardQueueOptions(true);
  ce::HANDLE reader = ce::CreateMsgQueue(nx::kGuardQueueName, &opts);
  ASSERT_NE(reader, nullptr);
  nx::IgnoreList list;
  ASSERT_TRUE(list.open());

  // No options files yet: the first call creates both with protection on,
  // announcing each write, and then sends its own message.
  EXPECT_EQ(call("IgnoreFile", "\\Temp\\x.cab"), (std::vector<std::string>{"result 1"}));
  const std::u16string df = kDir + u"\\Config\\dfolncnf.dat", wm = kDir + u"\\Config\\wmolncnf.dat";
  EXPECT_EQ(drain(reader, &list),
            (std::vector<std::u16string>{u"1" + df, u"0" + df, u"1" + wm, u"0" + wm, u"1\\Temp\\x.cab"}));
  nx::WM_ONLINE_OPTS o{};
  ASSERT_TRUE(CWmOptionsGen::ReadOnlineOpts(kDir.c_str(), &o, nx::kOptionsDefaults));
  EXPECT_EQ(o.bEnabled, 1);
  EXPECT_EQ(o.bAction, 1);
  EXPECT_EQ(o.bQuarantine, 1);

  EXPECT_EQ(call("IgnoreFileEx", "\\TEMP\\X.CAB"), (std::vector<std::string>{"result 1"}));
  EXPECT_EQ(call("UnIgnoreFile", "\\Temp\\x.cab"), (std::vector<std::string>{"result 1"}));
  drain(reader, &list);
  EXPECT_TRUE(list.isIgnored(u"\\Temp\\x.cab")) << "one of two ignores is still open";
  EXPECT_EQ(call("UnIgnoreFileEx", "\\temp\\x.cab"), (std::vector<std::string>{"result 1"}));
  drain(reader, &list);
  EXPECT_FALSE(list.isIgnored(u"\\Temp\\x.cab"));
  EXPECT_EQ(call("IgnoreFile", "-"), (std::vector<std::string>{"result 0"}));
  EXPECT_TRUE(drain(reader).empty());
  ce::CloseMsgQueue(reader);
}

TEST_F(IgnoreQueue, WithProtectionOffThePlatformSendsNothingAndSucceeds) {
  nx::WM_ONLINE_OPTS o{};
  ASSERT_TRUE(CWmOptionsGen::ReadOnlineOpts(kDir.c_str(), &o, 0));
  o.bEnabled = 0;
  ASSERT_TRUE(CWmOptionsGen::WriteOnlineOpts(kDir.c_str(), &o, 0));
  nxtest::HelperProcess guard({"oln_listen", "300"});
  ASSERT_EQ(lineOf(guard), "ready");
  for (const char* fn : {"IgnoreFile", "UnIgnoreFile", "IgnoreFileEx", "UnIgnoreFileEx"})
    EXPECT_EQ(call(fn, "\\Temp\\y.sis"), (std::vector<std::string>{"result 1"})) << fn;
  EXPECT_TRUE(heard(guard).empty());

  // Damaged options are no proof that protection is off: the message goes.
  std::string raw = dev.readFile(kHostDir + "/Config/wmolncnf.dat");
  raw[8] ^= 1;
  dev.writeFile(kHostDir + "/Config/wmolncnf.dat", raw);
  EXPECT_EQ(call("IgnoreFile", "\\Temp\\y.sis"), (std::vector<std::string>{"result 1"}));
  EXPECT_EQ(heard(guard), (std::vector<std::string>{"msg 1\\Temp\\y.sis"}));
}

TEST_F(IgnoreQueue, AFullQueueFailsTheSenderAtOnce) {
  nxtest::HelperProcess guard({"oln_hold"});
  ASSERT_EQ(lineOf(guard), "ready");
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(nx::sendIgnoreMessage(u"\\f", true)) << i;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(nx::sendIgnoreMessage(u"\\f", true));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  // The platform's exports across the process boundary: the plain ones fail,
  // the Ex forms report success whatever the send did.
  EXPECT_EQ(call("IgnoreFile", "\\f", 2), (std::vector<std::string>{"result 0", "result 0"}));
  EXPECT_EQ(call("IgnoreFileEx", "\\f"), (std::vector<std::string>{"result 1"}));
  EXPECT_EQ(call("UnIgnoreFileEx", "\\f"), (std::vector<std::string>{"result 1"}));
  guard.writeLine("go");
  EXPECT_EQ(guard.wait(), 0);
}

TEST_F(IgnoreQueue, SendersRacingForTheLastSlotNeverBlock) {
  // Threads send without pause; a reader empties the queue, then stops
  // reading while the senders fill it. At the last free slot two senders
  // often both see room; the one that loses must fail at once, since with
  // no reader a waiting write would never return. Each round checks that
  // every sender still moves on while nobody reads.
  auto ropts = nx::guardQueueOptions(true);
  ce::HANDLE reader = ce::CreateMsgQueue(nx::kGuardQueueName, &ropts);
  ASSERT_NE(reader, nullptr);
  constexpr int kThreads = 6, kRounds = 40;
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0}, finished{0};
  std::atomic<uint64_t> calls[kThreads] = {};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      while (!stop.load()) {
        if (nx::sendIgnoreMessage(u"\\f", true)) sent.fetch_add(1);
        calls[t].fetch_add(1);
      }
      finished.fetch_add(1);
    });
  int read = 0;
  auto drain = [&] {
    WCHAR buf[270];
    DWORD got = 0, flags = 0;
    while (ce::ReadMsgQueue(reader, buf, 540, &got, 0, &flags)) ++read;
  };
  bool blocked = false;
  int rounds = 0;
  for (; rounds < kRounds && !blocked; ++rounds) {
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // refilled meanwhile
    uint64_t before[kThreads];
    for (int t = 0; t < kThreads; ++t) before[t] = calls[t].load();
    auto t0 = std::chrono::steady_clock::now();
    for (int t = 0; t < kThreads && !blocked; ++t)
      while (calls[t].load() < before[t] + 2) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5)) {
          ADD_FAILURE() << "sender " << t << " is stuck in its write in round " << rounds;
          blocked = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
  }
  stop = true;
  // Reads release a stuck sender so that the threads can end.
  while (finished.load() < kThreads) {
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& th : senders) th.join();
  drain();
  EXPECT_EQ(read, sent.load()) << "every message reported sent arrived";
  EXPECT_GE(sent.load(), rounds * 19) << "each round filled the queue again";
  ce::CloseMsgQueue(reader);
}

}  // namespace
