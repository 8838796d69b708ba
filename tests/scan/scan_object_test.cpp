// Scanner lists per type code, with the archive conditions (switch, depth,
// exclusion bits), argument checks, a failing create export and release.
#include "walk_support.h"

namespace {

using namespace scantest;

class ScanObject : public WalkTest {
 public:
  int32_t list(List& l, const std::u16string& path, const ScanSettings& s, int32_t depth = 0) {
    static ScanSettings copy;
    copy = s;
    l.del = del;
    l.result = create(-1, path.c_str(), &copy, depth, &l.objects, &l.codes, &l.count, &l.type, &l.length);
    return l.result;
  }
};

TEST_F(ScanObject, ListsPerTypeCode) {
  std::string sis = archive(Kind::Sis, {});
  struct Case {
    const char* what;
    std::string name;
    std::string content;
    std::function<void(ScanSettings&)> tweak;
    int32_t depth;
    int32_t result;
    int32_t type;
    std::vector<int32_t> codes;
  };
  auto none = [](ScanSettings&) {};
  const std::vector<Case> cases = {
      {"CE library", "a.dll", ceProgram("", 0x2002), none, 0, 1804, 5083, {26, 5, 6}},
      {"CE program", "a.exe", ceProgram(), none, 0, 1804, 5084, {26, 5, 6}},
      {"CE program deep inside archives", "a.exe", ceProgram(), none, 40, 1804, 5084, {26, 5, 6}},
      {"test file", "e.com", kEicar, none, 0, 1804, 5093, {5093}},
      {"EPOC store", "a.dat", std::string("\x37\0\0\x10", 4) + "data", none, 0, 1804, 5081, {5081}},
      {".gdr file", "a.gdr", "abc", none, 0, 1804, 5082, {5082}},
      {"CAB", "a.cab", archive(Kind::Cab, {}), none, 0, 1804, 5010, {5010}},
      {"CAB at the maximum depth", "a.cab", archive(Kind::Cab, {}), none, 5, 1805, 5010, {}},
      {"CAB excluded", "a.cab", archive(Kind::Cab, {}), [](ScanSettings& s) { s.archiveExclude = 2; }, 0, 1805, 5010, {}},
      {"CAB with archives off", "a.cab", archive(Kind::Cab, {}), [](ScanSettings& s) { s.scanArchives = 0; }, 0, 1805, 5010, {}},
      {"CAB under a huge maximum depth", "a.cab", archive(Kind::Cab, {}), [](ScanSettings& s) { s.maxDepth = 30000; }, 60, 1805, 5010, {}},
      {"SIS", "a.sis", sis, none, 0, 1804, 5074, {5077, 5074}},
      {"SIS at the maximum depth", "a.sis", sis, none, 5, 1804, 5074, {5077}},
      {"SIS excluded", "a.sis", sis, [](ScanSettings& s) { s.archiveExclude = 256; }, 0, 1804, 5074, {5077}},
      {"SIS with CAB excluded", "a.sis", sis, [](ScanSettings& s) { s.archiveExclude = 2; }, 0, 1804, 5074, {5077, 5074}},
      {"SISX", "a.sisx", archive(Kind::Sisx, {}), none, 0, 1804, 5092, {5092}},
      {"SISX excluded", "a.sisx", archive(Kind::Sisx, {}), [](ScanSettings& s) { s.archiveExclude = 256; }, 0, 1805, 5092, {}},
      {"Win32 program: no scanner", "w.exe", ceProgram().replace(0x80 + 24 + 68, 1, "\2"), none, 0, 1805, 5027, {}},
      {"text: no scanner", "a.txt", "hello", none, 0, 1805, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dev.writeFile("Temp/" + c.name, c.content);
    ScanSettings s = defaultSettings();
    c.tweak(s);
    List l;
    EXPECT_EQ(list(l, u"\\Temp\\" + u16(c.name), s, c.depth), c.result);
    EXPECT_EQ(l.type, c.type);
    EXPECT_EQ(l.length, c.content.size());
    EXPECT_EQ(l.codeList(), c.codes);
    if (c.result != NX_ENGINE_SUCCESS) {
      EXPECT_EQ(l.objects, nullptr);
      EXPECT_EQ(l.codes, nullptr);
    }
  }
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(ScanObject, ObjectsComeFromTheirModulesInListOrder) {
  dev.writeFile("Temp/a.exe", ceProgram());
  {
    List l;
    ASSERT_EQ(list(l, u"\\Temp\\a.exe", settings), NX_ENGINE_SUCCESS);
    EXPECT_EQ(journal("create"), (std::vector<std::string>{"create bkdr:26", "create pe:5", "create poly:6"}));
    EXPECT_EQ(fakes::live(), 3);
  }
  // Released from the last to the first.
  EXPECT_EQ(journal("release"), (std::vector<std::string>{"release poly", "release pe", "release bkdr"}));
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(ScanObject, FailingCreateLeavesNoObjectBehind) {
  dev.writeFile("Temp/a.exe", ceProgram());
  fakes::set("fail.create.poly", 1);
  List l;
  EXPECT_EQ(list(l, u"\\Temp\\a.exe", settings), NX_ENGINE_FAILURE);
  EXPECT_EQ(l.objects, nullptr);
  EXPECT_EQ(l.type, 5084);
  EXPECT_EQ(journal("release"), (std::vector<std::string>{"release pe", "release bkdr"}));
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(ScanObject, PathsArgumentsAndEmptyFiles) {
  dev.writeFile("Temp/empty.exe", "");
  dev.writeFile("Temp/e.com", kEicar);
  List l;
  EXPECT_EQ(list(l, u"\\Temp\\empty.exe", settings), NX_ENGINE_FAILURE);
  EXPECT_EQ(l.type, 0);
  EXPECT_EQ(l.length, 0u);
  EXPECT_EQ(list(l, u"\\Temp", settings), NX_ENGINE_NOT_REGULAR);
  EXPECT_EQ(list(l, u"\\Temp\\missing.exe", settings), NX_ENGINE_NOT_REGULAR);
  EXPECT_EQ(list(l, u"\\Temp\\e.com", settings, -1), NX_ENGINE_FAILURE);

  ScannerObject** o = nullptr;
  int32_t* c = nullptr;
  int32_t n = 0, t = 0;
  uint32_t len = 0;
  EXPECT_EQ(create(-1, nullptr, &settings, 0, &o, &c, &n, &t, &len), NX_ENGINE_FAILURE);
  EXPECT_EQ(create(-1, u"\\Temp\\e.com", nullptr, 0, &o, &c, &n, &t, &len), NX_ENGINE_FAILURE);
  EXPECT_EQ(create(-1, u"\\Temp\\e.com", &settings, 0, &o, nullptr, &n, &t, &len), NX_ENGINE_FAILURE);
  EXPECT_EQ(create(-1, u"\\Temp\\e.com", &settings, 0, &o, &c, &n, nullptr, &len), NX_ENGINE_FAILURE);
  EXPECT_EQ(fakes::live(), 0);

  // A list whose codes array is missing is not released at all.
  ASSERT_EQ(create(-1, u"\\Temp\\e.com", &settings, 0, &o, &c, &n, &t, &len), NX_ENGINE_SUCCESS);
  EXPECT_EQ(del(o, nullptr, n), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(fakes::live(), 1);
  EXPECT_EQ(del(o, c, n), NX_ENGINE_SUCCESS);
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(ScanObject, GivenHandleIsRewoundAndLeftOpen) {
  dev.writeFile("Temp/e.com", kEicar);
  const int32_t h = fw->ops->OpenW(fw, u"\\Temp\\e.com", NX_O_RDONLY | NX_O_BINARY, 0);
  ASSERT_GE(h, 0);
  fw->ops->Seek(fw, h, 30, NX_SEEK_SET);
  ScannerObject** o = nullptr;
  int32_t* c = nullptr;
  int32_t n = 0, t = 0;
  uint32_t len = 0;
  // The path need not even exist: the handle is what is read.
  ASSERT_EQ(create(h, u"\\Temp\\elsewhere.com", &settings, 0, &o, &c, &n, &t, &len), NX_ENGINE_SUCCESS);
  EXPECT_EQ(t, 5093);
  EXPECT_EQ(len, kEicar.size());
  EXPECT_EQ(fw->ops->Tell(fw, h), 0);
  del(o, c, n);
  EXPECT_EQ(fw->ops->Close(fw, h), 0);
}

}  // namespace
