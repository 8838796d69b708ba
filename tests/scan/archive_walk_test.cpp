// The archive walk, driven through the test archive module: members under
// temporary names carrying their extensions, display paths, the event
// handler's calls and answers, the stop flag, firstHitOnly, nesting up to
// the depth limit, and nothing left behind (files, ignore-list holds).
#include <atomic>
#include <map>
#include <thread>

#include "walk_support.h"

namespace {

using namespace scantest;

// Every ignore message for a path is matched by a stop message, in order,
// and every path is a temporary file of the walk.
void expectPairedIgnores(const std::vector<std::string>& messages) {
  std::map<std::string, int> open;
  for (const std::string& m : messages) {
    ASSERT_FALSE(m.empty());
    const std::string path = m.substr(1);
    EXPECT_EQ(path.rfind("\\Temp\\x\\~xn", 0), 0u) << path;
    if (m[0] == '1') {
      EXPECT_EQ(open[path]++, 0) << "ignored twice: " << path;
    } else {
      EXPECT_EQ(m[0], '0');
      EXPECT_EQ(open[path]--, 1) << "stopped without an ignore: " << path;
    }
  }
  for (auto& [path, n] : open) EXPECT_EQ(n, 0) << "still ignored: " << path;
}

std::vector<std::string> extracted() { return EngineTest::journal("extract"); }

TEST_F(WalkTest, MembersScannedUnderTheirExtensionsWithDisplayPaths) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"readme.htm", "hello world, plain text"},
                                                  {"bin\\eicar.com", kEicar + " HIT-misc"},
                                                  {"notes.txt", "nothing here"}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_THREAT_MEMBER);

  ASSERT_EQ(events().size(), 4u);
  // readme.htm: no scanner suits it, but it was classified under its own
  // extension (markup by name, 5038), not as an unknown .tmp file.
  EXPECT_EQ(events()[0].code, NX_ENGINE_CLEAN);
  EXPECT_EQ(events()[0].display, "\\Temp\\a.cab/readme.htm");
  EXPECT_EQ(events()[0].type, 5038);
  EXPECT_EQ(events()[1].code, NX_ENGINE_MEMBER_NEXT);
  EXPECT_EQ(events()[1].display, "\\Temp\\a.cab/bin\\eicar.com");
  EXPECT_EQ(events()[1].type, 5093);
  EXPECT_EQ(events()[1].length, kEicar.size() + 9);
  EXPECT_EQ(events()[2].code, NX_ENGINE_THREAT);
  EXPECT_EQ(events()[2].threat, "Fake.misc");
  EXPECT_EQ(events()[3].code, NX_ENGINE_CLEAN);
  EXPECT_EQ(events()[3].display, "\\Temp\\a.cab/notes.txt");

  // The scanner saw a .com file, the archive's root display path and type,
  // the member's display path, one level down.
  auto opens = journal("open misc");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_NE(opens[0].find(".com root=\\Temp\\a.cab rootType=5010 user=77"), std::string::npos) << opens[0];
  EXPECT_EQ(journal("scan misc"), (std::vector<std::string>{"scan misc display=\\Temp\\a.cab/bin\\eicar.com depth=1"}));

  ASSERT_EQ(threatCount(), 1);
  ThreatRecord* r = lastThreat();
  EXPECT_EQ(r->memberType, 5093);
  EXPECT_EQ(r->memberLength, kEicar.size() + 9);
  EXPECT_EQ(r->rootType, 5010);
  EXPECT_EQ(u8(r->displayPath), "\\Temp\\a.cab/bin\\eicar.com");

  EXPECT_TRUE(leftInTemp().empty());
  const auto messages = ignoreMessages();
  expectPairedIgnores(messages);
  bool htm = false;
  for (const std::string& m : messages)
    if (m.size() > 4 && m.compare(m.size() - 4, 4, ".htm") == 0) htm = true;
  EXPECT_TRUE(htm) << "readme.htm was renamed to a temporary .htm name";
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(WalkTest, FirstHitOnlyStopsAfterTheFirstInfectedMember) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"one.com", kEicar}, {"two.com", kEicar + " INFECTED"},
                                                  {"three.com", kEicar}}));
  for (uint8_t firstHitOnly : {1, 0}) {
    SCOPED_TRACE(int(firstHitOnly));
    fakes::clear();
    settings.firstHitOnly = firstHitOnly;
    EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_THREAT_MEMBER);
    EXPECT_EQ(extracted().size(), firstHitOnly ? 2u : 3u);
    EXPECT_TRUE(leftInTemp().empty());
    expectPairedIgnores(ignoreMessages());
  }
}

TEST_F(WalkTest, StopAnswerEndsTheWalk) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"one.com", kEicar + " INFECTED"}, {"two.com", kEicar}}));
  answer() = [](const Event& e) { return e.code == NX_ENGINE_MEMBER_NEXT ? NX_ACTION_STOP : NX_ACTION_CONTINUE; };
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CANNOT_CLEAN);
  EXPECT_EQ(settings.stop, 1);
  EXPECT_EQ(eventCodes(), std::vector<int32_t>{NX_ENGINE_MEMBER_NEXT});
  EXPECT_EQ(extracted().size(), 1u);
  EXPECT_TRUE(journal("open").empty());
  EXPECT_EQ(threatCount(), 0);
  EXPECT_TRUE(leftInTemp().empty());
  expectPairedIgnores(ignoreMessages());
}

TEST_F(WalkTest, AnswersToADetection) {
  struct Case {
    const char* what;
    std::string member;
    int32_t reply;  // to every 1993
    int32_t result;
    int32_t threats;
    std::vector<int32_t> events;
    std::vector<std::string> scanned;
  };
  const std::vector<Case> cases = {
      {"skip: the record goes, the other scanners go on", ceProgram("HIT-bkdr"), NX_ACTION_SKIP, NX_ENGINE_CLEAN, 0,
       {1997, 1993}, {"bkdr", "pe", "poly"}},
      {"skip one, another scanner finds it", ceProgram("HIT-bkdr HIT-poly"), NX_ACTION_SKIP, NX_ENGINE_CLEAN, 0,
       {1997, 1993, 1993}, {"bkdr", "pe", "poly"}},
      {"continue keeps the record and ends the member", ceProgram("HIT-pe"), NX_ACTION_CONTINUE,
       NX_ENGINE_THREAT_MEMBER, 1, {1997, 1993}, {"bkdr", "pe"}},
      {"repair inside an archive cannot be done", ceProgram("HIT-bkdr"), NX_ACTION_REPAIR, NX_ENGINE_THREAT_MEMBER, 1,
       {1997, 1993, 1998}, {"bkdr"}},
      {"delete inside an archive cannot be done", ceProgram("HIT-bkdr"), NX_ACTION_DELETE, NX_ENGINE_THREAT_MEMBER, 1,
       {1997, 1993, 1998}, {"bkdr"}},
      {"a scanner error is reported and ends the member", ceProgram("SCANFAIL"), NX_ACTION_CONTINUE, NX_ENGINE_CLEAN,
       0, {1997, 1800}, {"bkdr"}},
      {"an open error is reported and ends the member", ceProgram("OPENFAIL"), NX_ACTION_CONTINUE, NX_ENGINE_CLEAN, 0,
       {1997, 1800}, {}},
      {"declined opens pass to the next scanner", ceProgram("OPENSKIP"), NX_ACTION_CONTINUE, NX_ENGINE_CLEAN, 0,
       {1997, 1992}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::clear();
    events().clear();
    threats->ops->Clear(threats);
    dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"prog.exe", c.member}}));
    const int32_t reply = c.reply;
    answer() = [reply](const Event& e) { return e.code == NX_ENGINE_THREAT ? reply : NX_ACTION_CONTINUE; };
    EXPECT_EQ(scan(u"\\Temp\\a.cab"), c.result);
    EXPECT_EQ(threatCount(), c.threats);
    EXPECT_EQ(eventCodes(), c.events);
    std::vector<std::string> scanned;
    for (const std::string& l : journal("scan ")) scanned.push_back(l.substr(5, l.find(' ', 5) - 5));
    EXPECT_EQ(scanned, c.scanned);
    // Every object that agreed to scan was closed; the others were not opened.
    EXPECT_EQ(journal("close").size(), c.member.find("OPEN") != std::string::npos ? 0u : c.scanned.size());
    EXPECT_TRUE(leftInTemp().empty());
    expectPairedIgnores(ignoreMessages());
    EXPECT_EQ(fakes::live(), 0);
  }
}

TEST_F(WalkTest, WithoutACallbackAThreatEndsTheMember) {
  settings.eventHandler = nullptr;
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"prog.exe", ceProgram("INFECTED")}, {"b.com", kEicar}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_THREAT_MEMBER);
  EXPECT_EQ(threatCount(), 1);
  EXPECT_EQ(journal("scan "), (std::vector<std::string>{"scan bkdr display=\\Temp\\a.cab/prog.exe depth=1",
                                                        "scan misc display=\\Temp\\a.cab/b.com depth=1"}));
}

TEST_F(WalkTest, NestedArchivesUpToTheDepthLimit) {
  const std::string innermost = archive(Kind::Cab, {{"deep.com", kEicar + " INFECTED"}});
  const std::string middle = archive(Kind::Sisx, {{"in2.cab", innermost}, {"evil.com", kEicar + " INFECTED"}});
  dev.writeFile("Temp/n.cab", archive(Kind::Cab, {{"in1.sisx", middle}}));
  settings.maxDepth = 2;
  EXPECT_EQ(scan(u"\\Temp\\n.cab"), NX_ENGINE_THREAT_MEMBER);
  // Levels 0 and 1 are opened; the CAB at depth 2 is not.
  EXPECT_EQ(journal("reader open").size(), 2u);
  ASSERT_GE(events().size(), 1u);
  EXPECT_EQ(events()[0].code, NX_ENGINE_MEMBER_NEXT);
  EXPECT_EQ(events()[0].display, "\\Temp\\n.cab/in1.sisx");
  EXPECT_EQ(events()[1].code, NX_ENGINE_CLEAN);
  EXPECT_EQ(events()[1].display, "\\Temp\\n.cab/in1.sisx/in2.cab");
  EXPECT_EQ(events()[1].type, 5010);
  ASSERT_EQ(threatCount(), 1);
  EXPECT_EQ(u8(lastThreat()->displayPath), "\\Temp\\n.cab/in1.sisx/evil.com");
  EXPECT_EQ(lastThreat()->rootType, 5010);
  EXPECT_EQ(journal("scan misc"), (std::vector<std::string>{"scan misc display=\\Temp\\n.cab/in1.sisx/evil.com depth=2"}));

  // One level deeper allowed: the innermost member is found too.
  fakes::clear();
  events().clear();
  threats->ops->Clear(threats);
  settings.maxDepth = 3;
  EXPECT_EQ(scan(u"\\Temp\\n.cab"), NX_ENGINE_THREAT_MEMBER);
  EXPECT_EQ(journal("reader open").size(), 3u);
  EXPECT_EQ(threatCount(), 2);
  EXPECT_TRUE(leftInTemp().empty());
  expectPairedIgnores(ignoreMessages());
  EXPECT_EQ(fakes::live(), 0);
}

TEST_F(WalkTest, SisGetsTheMiscellaneousScannerThenTheWalk) {
  dev.writeFile("Temp/a.sis", archive(Kind::Sis, {{"app.exe", ceProgram("HIT-pe")}}));
  EXPECT_EQ(scan(u"\\Temp\\a.sis"), NX_ENGINE_THREAT_MEMBER);
  EXPECT_EQ(journal("create"), (std::vector<std::string>{"create misc:5077", "create bkdr:26", "create pe:5",
                                                         "create poly:6"}));
  EXPECT_EQ(journal("reader create"), std::vector<std::string>{"reader create sis"});
  EXPECT_EQ(lastThreat()->rootType, 5074);
}

TEST_F(WalkTest, OddMembersDirectoriesNothingAndNoName) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"<dir>", ""}, {"<nothing>", ""}, {"<noname>", kEicar}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  // Only the nameless member was scanned, shown under its temporary name.
  ASSERT_EQ(journal("scan ").size(), 1u);
  EXPECT_NE(journal("scan ")[0].find("display=\\Temp\\a.cab/~xn"), std::string::npos) << journal("scan ")[0];
  EXPECT_NE(journal("scan ")[0].find(".tmp depth=1"), std::string::npos);
  EXPECT_TRUE(leftInTemp().empty());
  expectPairedIgnores(ignoreMessages());
}

TEST_F(WalkTest, HostileMemberNamesStayInsideTheTemporaryFolder) {
  const std::string longName(300, 'n');
  dev.writeFile("Temp/a.cab",
                archive(Kind::Cab, {{"..\\..\\escape.com", kEicar}, {"a.c<o>m", kEicar}, {longName + ".htm", "x"},
                                    {"name.0123456789abc", kEicar}, {std::string(600, 'd') + "\\e.com", kEicar}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(extracted().size(), 5u);
  EXPECT_TRUE(leftInTemp().empty());
  EXPECT_FALSE(std::filesystem::exists(dev.host("escape.com")));
  expectPairedIgnores(ignoreMessages());
  // A display path already 520 characters long gets no member appended.
  for (const Event& e : events()) EXPECT_LE(e.display.size(), 520u + 1 + 259);
}

TEST_F(WalkTest, IgnoreListBitSendsNothing) {
  settings.engineFlags = NX_ENGINE_FLAG_NO_IGNORE_LIST;
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"a.com", kEicar}, {"b.htm", "x"}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_TRUE(ignoreMessages().empty());
  EXPECT_TRUE(leftInTemp().empty());
}

TEST_F(WalkTest, NoTemporaryNameIsAnError) {
  // A temporary folder so long that no name fits beside it.
  std::u16string dir = u"\\Temp\\" + std::u16string(245, u'y');
  std::memcpy(settings.tempDir, dir.c_str(), (dir.size() + 1) * 2);
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"a.com", kEicar}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_ERROR);
  EXPECT_TRUE(ignoreMessages().empty());
}

TEST_F(WalkTest, ReaderOperationsAndArguments) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {}));
  dev.writeFile("Temp/bad.cab", [] {
    std::string b = archive(Kind::Cab, {});
    b[16] = 'X';  // no member table: the reader will not open it
    return b;
  }());
  ScannerObject** o = nullptr;
  int32_t* c = nullptr;
  int32_t n = 0, t = 0;
  uint32_t len = 0;
  ASSERT_EQ(create(-1, u"\\Temp\\a.cab", &settings, 0, &o, &c, &n, &t, &len), NX_ENGINE_SUCCESS);
  ScannerObject* a = o[0];
  char16_t display[] = u"\\Temp\\a.cab";
  EXPECT_EQ(a->ops->Scan(a, display, threats, 0), NX_ENGINE_MISSING_ARG);  // not opened
  EXPECT_EQ(a->ops->Open(a, -1, nullptr, &settings, u"x", 5010, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(a->ops->Open(a, -1, u"\\Temp\\bad.cab", &settings, u"x", 5010, 0), NX_ENGINE_FAILURE);
  EXPECT_EQ(fakes::live(), 0) << "a reader that did not open is deleted";
  EXPECT_EQ(a->ops->Open(a, -1, u"\\Temp\\a.cab", &settings, u"x", 5010, 0), NX_ENGINE_SUCCESS);
  EXPECT_EQ(a->ops->Open(a, -1, u"\\Temp\\a.cab", &settings, u"x", 5010, 0), NX_ENGINE_FAILURE) << "already open";
  EXPECT_EQ(a->ops->Scan(a, nullptr, threats, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(a->ops->Scan(a, display, threats, 0), NX_ENGINE_CLEAN);
  EXPECT_EQ(a->ops->Clean(a, threats, NX_ACTION_REPAIR), NX_ENGINE_CANNOT_CLEAN);
  EXPECT_EQ(a->ops->Clean(a, nullptr, NX_ACTION_REPAIR), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(a->ops->Close(a), NX_ENGINE_SUCCESS);
  EXPECT_EQ(a->ops->Close(a), NX_ENGINE_SUCCESS);
  // Released while a reader is held: the reader goes with it.
  EXPECT_EQ(a->ops->Open(a, -1, u"\\Temp\\a.cab", &settings, u"x", 5010, 0), NX_ENGINE_SUCCESS);
  EXPECT_EQ(fakes::live(), 1);
  del(o, c, n);
  EXPECT_EQ(fakes::live(), 0);

  fakes::set("fail.create.cab", 1);
  ASSERT_EQ(create(-1, u"\\Temp\\a.cab", &settings, 0, &o, &c, &n, &t, &len), NX_ENGINE_SUCCESS);
  EXPECT_EQ(o[0]->ops->Open(o[0], -1, u"\\Temp\\a.cab", &settings, u"x", 5010, 0), NX_ENGINE_FAILURE);
  del(o, c, n);
}

}  // namespace

namespace {

using namespace scantest;

TEST_F(WalkTest, ConcurrentWalksKeepTheirMembersApart) {
  // Four archives walked at once, each with one infected member among five:
  // every walk finds exactly its own, and no temporary file survives.
  settings.eventHandler = nullptr;
  for (int a = 0; a < 4; ++a) {
    std::vector<Member> members;
    for (int m = 0; m < 5; ++m)
      members.push_back({"m" + std::to_string(m) + ".com", kEicar + (m == a ? " INFECTED" : "")});
    dev.writeFile("Temp/c" + std::to_string(a) + ".cab", archive(Kind::Cab, members));
  }
  auto createList = reinterpret_cast<PFN_CreateThreatListObject>(
      ce::GetProcAddressW(ce::GetModuleHandleW(u"threatlist.dll"), u"CreateThreatListObject"));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int a = 0; a < 4; ++a)
    threads.emplace_back([&, a] {
      ScanSettings s = settings;
      ThreatListObject* list = nullptr;
      if (!createList(&list)) return;
      const std::u16string path = u"\\Temp\\c" + u16(std::to_string(a)) + u".cab";
      ScannerObject** o = nullptr;
      int32_t* c = nullptr;
      int32_t n = 0, t = 0;
      uint32_t len = 0;
      if (create(-1, path.c_str(), &s, 0, &o, &c, &n, &t, &len) == NX_ENGINE_SUCCESS && n == 1) {
        std::u16string display = path;
        if (o[0]->ops->Open(o[0], -1, path.c_str(), &s, path.c_str(), c[0], 0) == NX_ENGINE_SUCCESS &&
            o[0]->ops->Scan(o[0], display.data(), list, 0) == NX_ENGINE_THREAT_MEMBER && list->ops->Count(list) == 1) {
          ThreatRecord* r = nullptr;
          list->ops->Last(list, &r);
          if (u8(r->displayPath) == u8(path) + "/m" + std::to_string(a) + ".com") ++good;
        }
        o[0]->ops->Close(o[0]);
        del(o, c, n);
      }
      deleteList(list);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 4);
  EXPECT_TRUE(leftInTemp().empty());
  expectPairedIgnores(ignoreMessages());
  EXPECT_EQ(fakes::live(), 0);
}

}  // namespace
