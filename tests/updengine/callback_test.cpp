// updengine.dll driven from this process as the handset's update screen
// drives it: Init, UpdateNow with a progress callback, DeInit; the progress
// record and the callback's power to abort. And nxupdate's progress bar on
// a terminal.
#include "nyxel/updengine.h"
#include "update_bed.h"

namespace updtest {
namespace {

struct Seen {
  uint16_t code;
  std::u16string file;
  uint32_t reserved;
};

struct Driver {
  std::vector<Seen> seen;
  uint16_t abortAt = 0;
  static int32_t callback(const NxUpdateProgress* p, void* ctx) {
    auto* d = static_cast<Driver*>(ctx);
    d->seen.push_back({p->code, std::u16string(p->file), p->reserved});
    return p->code == d->abortAt ? NX_UPD_ABORT : 0;
  }
};

class Callback : public UpdateBed {
 protected:
  ce::HMODULE lib = nullptr;
  PFN_UpdInit init = nullptr;
  PFN_UpdateNow now = nullptr;
  PFN_UpdDeInit deinit = nullptr;

  void SetUp() override {
    UpdateBed::SetUp();
    if (HasFatalFailure()) return;
    lib = ce::LoadLibraryW((install + u"\\updengine.dll").c_str());
    ASSERT_NE(lib, nullptr) << ce::GetLastError();
    init = reinterpret_cast<PFN_UpdInit>(ce::GetProcAddressW(lib, u"Init"));
    now = reinterpret_cast<PFN_UpdateNow>(ce::GetProcAddressW(lib, u"UpdateNow"));
    deinit = reinterpret_cast<PFN_UpdDeInit>(ce::GetProcAddressW(lib, u"DeInit"));
    ASSERT_TRUE(init && now && deinit);
    pack(fileSet("db", versionRecord(1, 0, 11), {{"latest.inx", "eleven"}}), localServer());
    useLocalFolder();
  }
  void TearDown() override {
    if (lib) ce::FreeLibrary(lib);
  }
  int32_t update(Driver& d, uint32_t* status) {
    EXPECT_NE(init(), 0);
    int32_t r = now(install.c_str(), &Driver::callback, &d, status);
    EXPECT_EQ(deinit(), 1);
    return r;
  }
};

TEST_F(Callback, EveryRecordIsZeroFilledWithTheFileNamed) {
  Driver d;
  uint32_t status = 77;
  EXPECT_EQ(update(d, &status), 1);
  EXPECT_EQ(status, 0u);
  std::vector<uint16_t> codes;
  for (const auto& s : d.seen) {
    codes.push_back(s.code);
    EXPECT_EQ(s.reserved, 0u);
    EXPECT_EQ(s.file, s.code == NX_UPD_FETCHING_INDEX ? u"index.bin" : u"") << s.code;
  }
  EXPECT_EQ(codes, (std::vector<uint16_t>{1000, 1001, 1002, 1006, 1007, 1008}));
  EXPECT_EQ(installed("latest.inx"), "eleven");
}

TEST_F(Callback, AbortAtTheStartReturns2002WithoutAReport) {
  Driver d;
  d.abortAt = NX_UPD_STARTING;
  uint32_t status = 0;
  EXPECT_EQ(update(d, &status), 2002);
  ASSERT_EQ(d.seen.size(), 1u);
  EXPECT_TRUE(reports().empty());
}

TEST_F(Callback, AbortWhereItIsHonouredEndsInterruptedByUser) {
  for (uint16_t at : {uint16_t(NX_UPD_FETCHING_INDEX), uint16_t(NX_UPD_FETCHED)}) {
    SCOPED_TRACE(at);
    Driver d;
    d.abortAt = at;
    const size_t before = reports().size();
    uint32_t status = 0;
    EXPECT_EQ(update(d, &status), 0);
    EXPECT_EQ(d.seen.back().code, at) << "nothing after the abort";
    EXPECT_NE(lastReport(before).text.find("Update interrupted by user."), std::string::npos);
    EXPECT_FALSE(installedExists("latest.inx"));
    EXPECT_TRUE(folderEmpty("temp"));
  }
  // Up to date is honoured too, and ends as the abort says.
  Driver ok;
  uint32_t status = 0;
  EXPECT_EQ(update(ok, &status), 1);
  Driver d;
  d.abortAt = NX_UPD_UP_TO_DATE;
  const size_t before = reports().size();
  EXPECT_EQ(update(d, &status), 0);
  EXPECT_NE(lastReport(before).text.find("Update interrupted by user."), std::string::npos);
}

TEST_F(Callback, CorruptPackageSetsTheOutStatus) {
  std::string pkg = slurp(localServer() + "/nx100001.pkg");
  pkg[pkg.size() - 3] ^= 0x55;
  spit(localServer() + "/nx100001.pkg", pkg);
  Driver d;
  uint32_t status = 0;
  EXPECT_EQ(update(d, &status), 0);
  EXPECT_EQ(status, 2008u);
  EXPECT_EQ(d.seen.back().code, NX_UPD_CORRUPT);
}

TEST_F(Callback, OnATerminalABarShowsTheFileItsBytesAndTheRate) {
  auto r = nxupdate("now", {{}, true, -1, false});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("] nx100001.pkg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/s"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("UPDATED SUCCESSFULLY"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace updtest
