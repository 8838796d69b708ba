// The threat list: ordering and ownership of the copied records, walking,
// removing the last record, and the answers to null and foreign arguments.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "platform/platform_api.h"
#include "testkit.h"
#include "threatlist/threatlist_api.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateThreatListObject(ThreatListObject** out);
int32_t CreateThreatListObjectByVirusInfo(ThreatListObject** out, const ThreatRecord* record);
void DeleteThreatListObject(ThreatListObject* object);
}

namespace {

// Records are 5 KiB: keep them off the test's stack.
std::unique_ptr<ThreatRecord> record(int16_t index, const char16_t* name) {
  auto r = std::make_unique<ThreatRecord>();
  std::memset(r.get(), 0, sizeof(ThreatRecord));
  r->index = index;
  r->category = 125;
  r->rootType = 5001;
  r->memberType = 5002;
  r->memberLength = 0xDEADBEEF;
  std::memcpy(r->name, name, ce::wcslen16(name) * sizeof(char16_t));
  std::memcpy(r->displayPath, u"\\Storage Card\\x.cab>a.exe", 25 * sizeof(char16_t));
  return r;
}

class ThreatList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateThreatListObject(&list), 1);
    ops = list->ops;
  }
  void TearDown() override { DeleteThreatListObject(list); }
  // The indices of the records from First along Next.
  std::vector<int> walk() {
    std::vector<int> out;
    ThreatRecord* r = nullptr;
    for (int32_t ok = ops->First(list, &r); ok; ok = ops->Next(list, &r)) out.push_back(r->index);
    return out;
  }
  ThreatListObject* list = nullptr;
  const ThreatListOps* ops = nullptr;
};

TEST_F(ThreatList, AppendKeepsOrderAndLastIsTheNewest) {
  ThreatRecord* r = reinterpret_cast<ThreatRecord*>(0x1);
  EXPECT_EQ(ops->Last(list, &r), 0);
  EXPECT_EQ(ops->First(list, &r), 0);
  EXPECT_EQ(ops->Count(list), 0);

  auto a = record(1, u"Trojan.A");
  auto b = record(2, u"Worm.B");
  EXPECT_EQ(ops->Append(list, a.get()), 1);
  EXPECT_EQ(ops->Append(list, b.get()), 1);
  EXPECT_EQ(ops->Count(list), 2);
  ASSERT_EQ(ops->Last(list, &r), 1);
  EXPECT_EQ(r->index, 2);
  EXPECT_EQ(std::u16string(r->name), u"Worm.B");
  EXPECT_EQ(r->category, 125);
  EXPECT_EQ(r->rootType, 5001);
  EXPECT_EQ(r->memberType, 5002);
  EXPECT_EQ(r->memberLength, 0xDEADBEEFu);
  EXPECT_EQ(std::u16string(r->displayPath), u"\\Storage Card\\x.cab>a.exe");
  EXPECT_EQ(r->link, nullptr);
  EXPECT_EQ(walk(), std::vector<int>({1, 2}));
  EXPECT_EQ(ops->Reserved(list), 0);
}

TEST_F(ThreatList, AppendCopiesTheCallersBlock) {
  auto a = record(7, u"Same.Block");
  a->link = reinterpret_cast<ThreatRecord*>(0x1234);  // junk the list must not follow
  EXPECT_EQ(ops->Append(list, a.get()), 1);
  a->index = 8;
  a->name[0] = u'X';
  EXPECT_EQ(ops->Append(list, a.get()), 1);
  a->index = 9;

  ThreatRecord* first = nullptr;
  ThreatRecord* last = nullptr;
  ASSERT_EQ(ops->First(list, &first), 1);
  ASSERT_EQ(ops->Last(list, &last), 1);
  EXPECT_NE(first, a.get());
  EXPECT_NE(first, last);
  EXPECT_EQ(first->index, 7);
  EXPECT_EQ(std::u16string(first->name), u"Same.Block");
  EXPECT_EQ(last->index, 8);
  EXPECT_EQ(std::u16string(last->name), u"Xame.Block");
  EXPECT_EQ(first->link, last);
  EXPECT_EQ(walk(), std::vector<int>({7, 8}));
}

TEST_F(ThreatList, TextsFilledToTheBrimAreStoredTerminated) {
  auto a = record(1, u"");
  for (auto& c : a->name) c = u'N';
  for (auto& c : a->displayPath) c = u'P';
  ASSERT_EQ(ops->Append(list, a.get()), 1);
  ThreatRecord* r = nullptr;
  ASSERT_EQ(ops->Last(list, &r), 1);
  EXPECT_EQ(ce::wcslen16(r->name), static_cast<size_t>(NX_THREAT_NAME_CHARS - 1));
  EXPECT_EQ(ce::wcslen16(r->displayPath), static_cast<size_t>(NX_THREAT_PATH_CHARS - 1));
}

TEST_F(ThreatList, RemoveLastUnlinksFromTheEnd) {
  EXPECT_EQ(ops->RemoveLast(list), 0);
  for (int16_t i = 1; i <= 3; ++i) ASSERT_EQ(ops->Append(list, record(i, u"T").get()), 1);
  EXPECT_EQ(ops->RemoveLast(list), 1);
  EXPECT_EQ(walk(), std::vector<int>({1, 2}));
  ThreatRecord* r = nullptr;
  ASSERT_EQ(ops->Last(list, &r), 1);
  EXPECT_EQ(r->index, 2);
  EXPECT_EQ(r->link, nullptr);
  EXPECT_EQ(ops->RemoveLast(list), 1);
  EXPECT_EQ(ops->Count(list), 1);

  // The last one: First and Last both answer 0 afterwards.
  EXPECT_EQ(ops->RemoveLast(list), 1);
  EXPECT_EQ(ops->Count(list), 0);
  EXPECT_EQ(ops->First(list, &r), 0);
  EXPECT_EQ(ops->Last(list, &r), 0);
  EXPECT_EQ(ops->RemoveLast(list), 0);
  // And the list works as new.
  EXPECT_EQ(ops->Append(list, record(4, u"T").get()), 1);
  EXPECT_EQ(walk(), std::vector<int>({4}));
}

TEST_F(ThreatList, NextStopsAtTheEndAndAtForeignRecords) {
  for (int16_t i = 1; i <= 2; ++i) ASSERT_EQ(ops->Append(list, record(i, u"T").get()), 1);
  ThreatRecord* r = nullptr;
  ASSERT_EQ(ops->Last(list, &r), 1);
  EXPECT_EQ(ops->Next(list, &r), 0);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(ops->Next(list, &r), 0);  // from null
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(ops->Next(list, nullptr), 0);

  // A record that is not in the list, with a link that points into it.
  auto foreign = record(9, u"F");
  ASSERT_EQ(ops->First(list, &foreign->link), 1);
  r = foreign.get();
  EXPECT_EQ(ops->Next(list, &r), 0);
  EXPECT_EQ(r, nullptr);
}

TEST_F(ThreatList, InitClearAndInitWithRecord) {
  for (int16_t i = 1; i <= 3; ++i) ASSERT_EQ(ops->Append(list, record(i, u"T").get()), 1);

  // A null record changes nothing.
  EXPECT_EQ(ops->InitWithRecord(list, nullptr), 0);
  EXPECT_EQ(walk(), std::vector<int>({1, 2, 3}));
  EXPECT_EQ(ops->Append(list, nullptr), 0);
  EXPECT_EQ(ops->Count(list), 3);

  // The list's own last record may seed it again.
  ThreatRecord* last = nullptr;
  ASSERT_EQ(ops->Last(list, &last), 1);
  EXPECT_EQ(ops->InitWithRecord(list, last), 1);
  EXPECT_EQ(walk(), std::vector<int>({3}));

  EXPECT_EQ(ops->InitWithRecord(list, record(5, u"T").get()), 1);
  EXPECT_EQ(walk(), std::vector<int>({5}));
  EXPECT_EQ(ops->Init(list), 1);
  EXPECT_EQ(ops->Count(list), 0);
  EXPECT_EQ(walk(), std::vector<int>());
  ASSERT_EQ(ops->Append(list, record(6, u"T").get()), 1);
  EXPECT_EQ(ops->Clear(list), 1);
  EXPECT_EQ(ops->Count(list), 0);
  EXPECT_EQ(ops->Last(list, &last), 0);
  EXPECT_EQ(ops->Clear(list), 1);

  // Destroy without the free flag only empties the object.
  ASSERT_EQ(ops->Append(list, record(7, u"T").get()), 1);
  ops->Destroy(list, 0);
  EXPECT_EQ(ops->Count(list), 0);
  EXPECT_EQ(ops->Append(list, record(8, u"T").get()), 1);
  EXPECT_EQ(walk(), std::vector<int>({8}));
}

TEST(ThreatListExports, CreateAndDeleteAnswerNullArguments) {
  auto a = record(3, u"Eicar");
  ThreatListObject* l = reinterpret_cast<ThreatListObject*>(0x1);
  EXPECT_EQ(CreateThreatListObject(nullptr), 0);
  EXPECT_EQ(CreateThreatListObjectByVirusInfo(nullptr, a.get()), 0);
  EXPECT_EQ(CreateThreatListObjectByVirusInfo(&l, nullptr), 0);
  EXPECT_EQ(l, reinterpret_cast<ThreatListObject*>(0x1));
  DeleteThreatListObject(nullptr);

  ASSERT_EQ(CreateThreatListObjectByVirusInfo(&l, a.get()), 1);
  EXPECT_EQ(l->ops->Count(l), 1);
  ThreatRecord* r = nullptr;
  ASSERT_EQ(l->ops->First(l, &r), 1);
  EXPECT_NE(r, a.get());
  EXPECT_EQ(std::u16string(r->name), u"Eicar");

  // Two lists are independent.
  ThreatListObject* other = nullptr;
  ASSERT_EQ(CreateThreatListObject(&other), 1);
  EXPECT_NE(other, l);
  EXPECT_EQ(other->ops->Count(other), 0);
  DeleteThreatListObject(other);
  DeleteThreatListObject(l);
}

// The log line of a mismatch, in the debug log of this process.
std::string logText() {
  ce::HANDLE f = ce::CreateFileW(g_szLogFileName, ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING,
                                 0, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return {};
  std::u16string text(8192, u'\0');
  ce::DWORD n = 0;
  ce::ReadFile(f, text.data(), static_cast<ce::DWORD>(text.size() * 2), &n, nullptr);
  ce::CloseHandle(f);
  text.resize(n / 2);
  return ce::utf16ToUtf8(text);
}

TEST(ThreatListExports, UsageCountAndMismatchLog) {
  nxtest::TempDevice dev;
  EXPECT_EQ(LibDeinit(), 0);
  const std::string log = logText();
  EXPECT_NE(log.find(": threatlist.dll: Error LibInit LibDeinit mismatched.\r\n"), std::string::npos) << log;
  EXPECT_EQ(LibInit(), 1);
  EXPECT_EQ(LibInit(), 2);
  EXPECT_EQ(LibDeinit(), 1);
  EXPECT_EQ(LibDeinit(), 0);
  EXPECT_EQ(logText(), log);  // balanced calls log nothing
  EXPECT_EQ(LibDeinit(), 0);
}

}  // namespace
