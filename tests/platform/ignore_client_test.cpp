#include <gtest/gtest.h>

#include "platform/platform_api.h"
#include "test_util.h"

namespace {

using ce::WCHAR;

// Plays the guard: the read end of the queue with the options every party uses.
class IgnoreClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ce::MSGQUEUEOPTIONS o{sizeof o, ce::MSGQUEUE_ALLOW_BROKEN, 20, 541, ce::TRUE};
    reader = ce::CreateMsgQueue(u"OlnMsgQueue", &o);
    ASSERT_NE(reader, nullptr);
  }
  void TearDown() override { ce::CloseMsgQueue(reader); }
  // The next message, empty when none is waiting.
  std::u16string next() {
    WCHAR buf[300] = {};
    ce::DWORD got = 0, flags = 0;
    if (!ce::ReadMsgQueue(reader, buf, sizeof buf, &got, 0, &flags)) return {};
    EXPECT_EQ(got % 2, 0u);
    EXPECT_EQ(buf[got / 2 - 1], 0) << "terminator is part of the message";
    return std::u16string(buf, got / 2 - 1);
  }
  nxtest::TempDevice dev;
  ce::HANDLE reader = nullptr;
};

TEST_F(IgnoreClient, SendsIgnoreAndStopMessages) {
  EXPECT_EQ(IgnoreFile(u"\\Temp\\a.cab"), 1);
  EXPECT_EQ(UnIgnoreFile(u"\\Temp\\a.cab"), 1);
  EXPECT_EQ(IgnoreFileEx(u"\\Temp\\b.sis"), 1);
  EXPECT_EQ(UnIgnoreFileEx(u"\\Temp\\b.sis"), 1);
  EXPECT_EQ(next(), u"1\\Temp\\a.cab");
  EXPECT_EQ(next(), u"0\\Temp\\a.cab");
  EXPECT_EQ(next(), u"1\\Temp\\b.sis");
  EXPECT_EQ(next(), u"0\\Temp\\b.sis");
  EXPECT_EQ(next(), u"");
}

TEST_F(IgnoreClient, NullPathsSendNothing) {
  EXPECT_EQ(IgnoreFile(nullptr), 0);
  EXPECT_EQ(UnIgnoreFile(nullptr), 0);
  EXPECT_EQ(IgnoreFileEx(nullptr), 0);
  EXPECT_EQ(UnIgnoreFileEx(nullptr), 0);
  EXPECT_EQ(next(), u"");
}

TEST_F(IgnoreClient, LongestPathWholeLongerOneNotAtAll) {
  std::u16string p268(268, u'p');
  std::u16string p269(269, u'p');
  EXPECT_EQ(IgnoreFile(p268.c_str()), 1);
  EXPECT_EQ(next(), u"1" + p268);
  EXPECT_EQ(IgnoreFile(p269.c_str()), 0);
  EXPECT_EQ(next(), u"");
}

TEST_F(IgnoreClient, FullQueueFailsAtOnceExFormsStillSucceed) {
  for (int i = 0; i < 20; ++i) ASSERT_EQ(IgnoreFile(u"\\f"), 1) << i;
  EXPECT_EQ(IgnoreFile(u"\\f"), 0);
  EXPECT_EQ(UnIgnoreFile(u"\\f"), 0);
  EXPECT_EQ(IgnoreFileEx(u"\\f"), 1);
  EXPECT_EQ(UnIgnoreFileEx(u"\\f"), 1);
}

}  // namespace
