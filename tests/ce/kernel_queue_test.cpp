// Point-to-point message queues within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "testkit.h"

using namespace ce;

namespace {

MSGQUEUEOPTIONS options(BOOL read, DWORD flags = MSGQUEUE_ALLOW_BROKEN, DWORD maxMessages = 20, DWORD cbMax = 541) {
  return MSGQUEUEOPTIONS{sizeof(MSGQUEUEOPTIONS), flags, maxMessages, cbMax, read};
}

// A queue with both ends open in this process.
class KernelQueue : public ::testing::Test {
 protected:
  void open(DWORD flags = MSGQUEUE_ALLOW_BROKEN, DWORD maxMessages = 20, DWORD cbMax = 541) {
    auto r = options(TRUE, flags, maxMessages, cbMax);
    reader = CreateMsgQueue(u"OlnMsgQueue", &r);
    ASSERT_TRUE(reader);
    auto w = options(FALSE, flags, maxMessages, cbMax);
    writer = CreateMsgQueue(u"OlnMsgQueue", &w);
    ASSERT_TRUE(writer);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    if (reader) CloseMsgQueue(reader);
    if (writer) CloseMsgQueue(writer);
  }
  bool send(const std::string& s, DWORD timeout = 0, DWORD flags = 0) {
    return WriteMsgQueue(writer, const_cast<char*>(s.data()), static_cast<DWORD>(s.size()), timeout, flags);
  }
  std::string receive(DWORD timeout = 0, DWORD* flags = nullptr) {
    char buf[600];
    DWORD n = 0;
    if (!ReadMsgQueue(reader, buf, sizeof buf, &n, timeout, flags)) return "<" + std::to_string(GetLastError()) + ">";
    return std::string(buf, n);
  }

  nxtest::TempDevice dev;
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
};

}  // namespace

TEST_F(KernelQueue, MessagesArriveInOrderAndEndsSignalRoomAndContent) {
  open();
  EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_TIMEOUT) << "empty";
  EXPECT_EQ(WaitForSingleObject(writer, 0), WAIT_OBJECT_0) << "room";
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(send("1\\Temp\\file" + std::to_string(i))) << i;
  EXPECT_EQ(WaitForSingleObject(writer, 0), WAIT_TIMEOUT) << "full after 20";
  EXPECT_FALSE(send("one more"));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_OBJECT_0);

  MSGQUEUEINFO info{};
  info.dwSize = sizeof info;
  ASSERT_TRUE(GetMsgQueueInfo(reader, &info));
  EXPECT_EQ(info.dwCurrentMessages, 20u);
  EXPECT_EQ(info.dwMaxMessages, 20u);
  EXPECT_EQ(info.cbMaxMessage, 541u);
  EXPECT_EQ(info.wNumReaders, 1);
  EXPECT_EQ(info.wNumWriters, 1);

  for (int i = 0; i < 20; ++i) EXPECT_EQ(receive(), "1\\Temp\\file" + std::to_string(i));
  EXPECT_EQ(receive(), "<1460>");
  ASSERT_TRUE(GetMsgQueueInfo(writer, &info));
  EXPECT_EQ(info.dwCurrentMessages, 0u);
  EXPECT_EQ(info.dwMaxQueueMessages, 20u);
}

TEST_F(KernelQueue, SizesAreEnforced) {
  open();
  std::string max(541, 'm');
  EXPECT_TRUE(send(max));
  EXPECT_FALSE(send(max + "x"));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // A reader's buffer smaller than the message: the handset hands over what
  // fits, uses the message up and reports the shortfall.
  char small[540];
  DWORD n = 0;
  EXPECT_FALSE(ReadMsgQueue(reader, small, sizeof small, &n, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(n, 540u);
  EXPECT_EQ(std::string(small, n), max.substr(0, 540));
  EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_TIMEOUT);

  char buf[8];
  EXPECT_FALSE(ReadMsgQueue(reader, nullptr, 8, &n, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReadMsgQueue(reader, buf, 0, &n, 0, nullptr));
  EXPECT_FALSE(ReadMsgQueue(reader, buf, 8, nullptr, 0, nullptr));
  EXPECT_FALSE(WriteMsgQueue(writer, buf, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelQueue, CreationOptionsAreChecked) {
  struct Case {
    const char* what;
    MSGQUEUEOPTIONS o;
    DWORD error;
  };
  const Case cases[] = {
      {"record size", {19, 0, 20, 541, TRUE}, ERROR_INVALID_PARAMETER},
      {"zero message size", {20, 0, 20, 0, TRUE}, ERROR_INVALID_PARAMETER},
      {"unknown flag", {20, 0x100, 20, 541, TRUE}, ERROR_INVALID_PARAMETER},
      {"huge message", {20, 0, 1, 0xFFFFFFFFu, TRUE}, ERROR_OUTOFMEMORY},
      {"huge count", {20, 0, 0xFFFFFFFFu, 541, TRUE}, ERROR_OUTOFMEMORY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MSGQUEUEOPTIONS o = c.o;
    EXPECT_EQ(CreateMsgQueue(nullptr, &o), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(CreateMsgQueue(u"q", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The device's queue storage is bounded: queues of 4 MiB each run out
  // cleanly instead of growing without end.
  std::vector<HANDLE> qs;
  for (int i = 0; i < 8; ++i) {
    MSGQUEUEOPTIONS o{20, 0, 4, 1000000, TRUE};
    HANDLE q = CreateMsgQueue(nullptr, &o);
    if (!q) {
      EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
      break;
    }
    qs.push_back(q);
  }
  EXPECT_LT(qs.size(), 8u);
  for (HANDLE q : qs) CloseMsgQueue(q);
  MSGQUEUEOPTIONS o{20, 0, 4, 1000000, TRUE};
  HANDLE again = CreateMsgQueue(nullptr, &o);
  EXPECT_TRUE(again) << "closing the queues gave their storage back";
  CloseMsgQueue(again);
}

TEST_F(KernelQueue, EndsAreOneWay) {
  open();
  char buf[16] = "x";
  DWORD n;
  EXPECT_FALSE(WriteMsgQueue(reader, buf, 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ReadMsgQueue(writer, buf, sizeof buf, &n, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(WriteMsgQueue(ev, buf, 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(ev);
}

TEST_F(KernelQueue, BrokenPipeWithoutAllowBroken) {
  open(0);
  CloseMsgQueue(reader);
  reader = nullptr;
  EXPECT_EQ(WaitForSingleObject(writer, 0), WAIT_OBJECT_0) << "a broken write end wakes its waiter";
  EXPECT_FALSE(send("1\\a"));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_NOT_CONNECTED);

  // Messages written before the writer left can still be read, then the
  // reader learns that no one is left.
  auto r = options(TRUE, 0);
  reader = CreateMsgQueue(u"OlnMsgQueue", &r);
  ASSERT_TRUE(send("last words"));
  CloseMsgQueue(writer);
  writer = nullptr;
  EXPECT_EQ(receive(), "last words");
  EXPECT_EQ(receive(1000), "<233>");

  // With ALLOW_BROKEN a writer may go first.
  auto w = options(FALSE);
  HANDLE lone = CreateMsgQueue(u"Lone", &w);
  ASSERT_TRUE(lone);
  char c = 'x';
  EXPECT_TRUE(WriteMsgQueue(lone, &c, 1, 0, 0));
  CloseMsgQueue(lone);
}

TEST_F(KernelQueue, BlockedCallsWakeAndTimeOut) {
  open(MSGQUEUE_ALLOW_BROKEN, 2, 64);
  std::atomic<bool> got{false};
  std::thread r([&] { got = receive(5000) == "ping"; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(send("ping"));
  r.join();
  EXPECT_TRUE(got.load());

  ASSERT_TRUE(send("a"));
  ASSERT_TRUE(send("b"));
  int64_t t0 = clock::hostMonotonicNs();
  EXPECT_FALSE(send("c", 150));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_GE(clock::hostMonotonicNs() - t0, 140'000'000);

  std::thread drain([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    receive();
  });
  EXPECT_TRUE(send("c", 5000)) << "room made by the reader wakes the writer";
  drain.join();
  EXPECT_EQ(receive(), "b");
  EXPECT_EQ(receive(), "c");
}

TEST_F(KernelQueue, AlertMessageIsReadFirst) {
  open();
  ASSERT_TRUE(send("one"));
  ASSERT_TRUE(send("two"));
  ASSERT_TRUE(send("urgent", 0, MSGQUEUE_MSGALERT));
  ASSERT_TRUE(send("second alert", 0, MSGQUEUE_MSGALERT));  // only one at a time jumps the queue
  DWORD flags = 99;
  EXPECT_EQ(receive(0, &flags), "urgent");
  EXPECT_EQ(flags, MSGQUEUE_MSGALERT);
  EXPECT_EQ(receive(0, &flags), "one");
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(receive(), "two");
  EXPECT_EQ(receive(), "second alert");
}

TEST_F(KernelQueue, UnnamedQueueOtherEndThroughOpenMsgQueue) {
  auto r = options(TRUE, 0, 4, 16);
  HANDLE rd = CreateMsgQueue(nullptr, &r);
  ASSERT_TRUE(rd);
  auto w = options(FALSE, 0, 4, 16);
  HANDLE wr = OpenMsgQueue(nullptr, rd, &w);
  ASSERT_TRUE(wr);
  char msg[] = "hello";
  ASSERT_TRUE(WriteMsgQueue(wr, msg, 5, 0, 0));
  char buf[16];
  DWORD n = 0;
  ASSERT_TRUE(ReadMsgQueue(rd, buf, sizeof buf, &n, 0, nullptr));
  EXPECT_EQ(std::string(buf, n), "hello");
  CloseMsgQueue(wr);
  CloseMsgQueue(rd);
  EXPECT_FALSE(CloseMsgQueue(rd));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
