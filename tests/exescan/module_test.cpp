// The module frame of exescan.dll (counts, order, log lines) and the PE polymorphic scanner.
#include <algorithm>

#include <gtest/gtest.h>

#include "ce/files.h"
#include "exescan_bed.h"

namespace {

using namespace exebed;

bool logHas(const Bed& bed, const std::string& line) {
  auto l = bed.log();
  return std::find(l.begin(), l.end(), line) != l.end();
}

using Counted = int32_t (*)();
using Reload2 = int32_t (*)(int32_t, int32_t);

TEST(ExeScanFrame, CountsInitsAndDeinitsAndReportsMismatches) {
  Bed bed;
  bed.installModule();
  ASSERT_NE(bed.load(), nullptr);  // the loader ran LibInit: count 1
  EXPECT_EQ(bed.fn<Counted>(u"LibInit")(), 2);
  EXPECT_EQ(bed.fn<Counted>(u"LibDeinit")(), 1);
  EXPECT_EQ(bed.fn<Reload2>(u"ReloadSignatures")(7, 9), 1);

  // One scanner taken down on its own: its reload then reports it is not up, and a further
  // deinit is a mismatch.
  EXPECT_EQ(bed.fn<Counted>(u"BkdrScanLibDeinit")(), 0);
  EXPECT_EQ(bed.fn<Reload2>(u"BkdrScanReloadSignatures")(0, 0), 0);
  EXPECT_EQ(bed.fn<Counted>(u"BkdrScanLibDeinit")(), 0);
  EXPECT_TRUE(logHas(bed, "exescan.dll: Error LibInit LibDeinit mismatched."));
  EXPECT_EQ(bed.fn<Counted>(u"BkdrScanLibInit")(), 1);

  EXPECT_EQ(bed.fn<Counted>(u"PePolyLibDeinit")(), 0);
  EXPECT_EQ(bed.fn<Reload2>(u"PePolyReloadSignatures")(0, 0), 0);
  EXPECT_EQ(bed.fn<Counted>(u"PePolyLibInit")(), 1);
  EXPECT_EQ(bed.fn<Counted>(u"PEScanReloadSignatures")(), 1);
  bed.unload();
  // With the module gone, one more module deinit through a fresh load count is harmless.
  ASSERT_NE(bed.load(), nullptr);
  EXPECT_EQ(bed.fn<Counted>(u"LibDeinit")(), 0);
  EXPECT_EQ(bed.fn<Counted>(u"LibDeinit")(), 0);
  EXPECT_EQ(bed.fn<Counted>(u"LibInit")(), 1);  // so the bed's free balances
}

TEST(ExeScanFrame, MissingOrInvalidFileKitFailsTheLoad) {
  struct {
    const char* what;
    const char* filekit;  // built module installed as filekit.dll, or none
    const char* line;
  } cases[] = {
      {"missing", nullptr, "exescan.dll: Unable to load filekit.dll."},
      {"invalid", "threatlist.dll", "exescan.dll: Invalid filekit.dll."},
  };
  for (auto& c : cases) {
    Bed bed;
    bed.install("platform.dll");
    bed.install("exescan.dll");
    if (c.filekit) bed.install(c.filekit, "filekit.dll");
    EXPECT_EQ(bed.load(), nullptr) << c.what;
    EXPECT_TRUE(logHas(bed, c.line)) << c.what;
  }
}

TEST(ExeScanFrame, ModuleStartsWithoutAnySignatureFile) {
  Bed bed;
  bed.installModule();
  ASSERT_NE(bed.load(), nullptr);
  ExeScanDiag d = bed.diag();
  EXPECT_EQ(d.peRecords, 0u);
  EXPECT_EQ(d.polyNames, 0u);
  for (uint32_t c : d.categoryRecords) EXPECT_EQ(c, 0u);
}

// ---- PE polymorphic scanner ------------------------------------------------------------------

Json polySource(std::initializer_list<std::pair<int, const char*>> records) {
  Json s = Json::object();
  s["poly"] = Json::array();
  for (auto& [type, name] : records) s["poly"].push_back(Json{{"type", type}, {"name", name}});
  return s;
}

TEST(PePoly, LoadsTheType3NamesUpToTheirCount) {
  Bed bed;
  bed.installModule();
  bed.signatures(polySource({{1, "One"}, {3, "Three.A"}, {2, "Two"}, {3, "Three.B"}, {3, "Three.C"}}));
  ASSERT_NE(bed.load(), nullptr);
  EXPECT_EQ(bed.diag().polyNames, 3u);

  // Move one record from the type-3 count to the type-1 count: the file still holds three
  // type-3 records, but the table never grows beyond the type-3 count.
  Bytes f = bed.get("sigmpoly.inx");
  put16(f, 0, 2);
  put16(f, 4, 2);
  bed.put("sigmpoly.inx", f);
  EXPECT_EQ(bed.fn<Reload2>(u"PePolyReloadSignatures")(0, 0), 1);
  EXPECT_EQ(bed.diag().polyNames, 2u);

  // Without type-3 records nothing loads, and the scanner still starts.
  bed.unload();
  bed.signatures(polySource({{1, "One"}, {5, "Five"}}));
  ASSERT_NE(bed.load(), nullptr);
  EXPECT_EQ(bed.diag().polyNames, 0u);

  // A short record keeps the previous table on reload.
  bed.unload();
  bed.signatures(polySource({{3, "Three.A"}}));
  ASSERT_NE(bed.load(), nullptr);
  Bytes shortFile = bed.get("sigmpoly.inx");
  shortFile.pop_back();
  bed.put("sigmpoly.inx", shortFile);
  EXPECT_EQ(bed.fn<Reload2>(u"PePolyReloadSignatures")(0, 0), 1);
  EXPECT_EQ(bed.diag().polyNames, 1u);
}

TEST(PePoly, ScanNeverReportsAndCleanNeedsWriteAccess) {
  Bed bed;
  bed.installModule();
  bed.signatures(polySource({{3, "Poly.A"}}));
  ASSERT_NE(bed.load(), nullptr);
  PeImage img;
  const std::u16string path = bed.file("p.exe", img.build());
  auto s = settings();
  Object o = polyObject(bed);
  Threats t;
  ASSERT_EQ(o.open(path, s.get()), NX_ENGINE_SUCCESS);
  EXPECT_EQ(o.scan(t), NX_ENGINE_CLEAN);
  EXPECT_EQ(t.count(), 0);
  EXPECT_EQ(o.obj->ops->Scan(o.obj, nullptr, t.list, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Clean(o.obj, nullptr, NX_ACTION_DELETE), NX_ENGINE_MISSING_ARG);

  ThreatRecord r{};
  r.category = NX_LIST_PE_POLY;
  ASSERT_EQ(t.list->ops->Append(t.list, &r), 1);
  EXPECT_EQ(o.clean(t), NX_ENGINE_CANNOT_CLEAN);  // writable, but never repaired
  ASSERT_TRUE(ce::SetFileAttributesW(path.c_str(), ce::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(o.clean(t), NX_ENGINE_ERROR);
  r.category = 27;  // another scanner's record: no file access at all
  ASSERT_EQ(t.list->ops->Append(t.list, &r), 1);
  EXPECT_EQ(o.clean(t), NX_ENGINE_CANNOT_CLEAN);

  Object gone = polyObject(bed);
  gone.open(u"\\Temp\\nothing.exe", s.get());
  EXPECT_EQ(gone.scan(t), NX_ENGINE_ERROR);
}

}  // namespace
