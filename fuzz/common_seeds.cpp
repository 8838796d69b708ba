// Writes seed inputs for fuzz_options_file, fuzz_report_index,
// fuzz_report_text and fuzz_quarantine_db into the folders options_file,
// report_index, report_text and quarantine_db of the folder given: sound
// files made by the layers' own encoders, so the fuzzers start past the
// checksums.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/options_files.h"
#include "common/options_records.h"
#include "common/quarantine_db.h"
#include "common/report_index.h"

namespace {

void put(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

void putU32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string dir = argv[1];
  for (int a = 0; a < nx::kOptionsAreaCount; ++a) {
    auto area = static_cast<nx::OptionsArea>(a);
    ce::DWORD n = nx::optionsAreaInfo(area).size;
    std::vector<uint8_t> rec(n);
    nx::CWmOptionsGen::BuiltInDefaults(area, rec.data());
    std::vector<uint8_t> file(1 + 8 + n);
    file[0] = static_cast<uint8_t>(a);
    std::memset(file.data() + 1, 1, 4);
    putU32(file, 5, nx::crc32(rec.data(), n));
    std::memcpy(file.data() + 9, rec.data(), n);
    put(dir + "/options_file/area_" + std::to_string(a), file);
  }
  std::vector<uint8_t> index(16);
  std::memset(index.data(), 1, 4);
  putU32(index, 8, nx::kReportOnline);
  for (int i = 0; i < 2; ++i) {
    nx::IndexRecord r;
    nx::encodeIndexRecord(ce::SYSTEMTIME{2026, 3, 4, 5, 6, 7, 8, 9}, u"\\Program Files\\Report\\oln1234.rpt",
                          u"\\Storage Card\\a.exe", &r);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
    index.insert(index.end(), p, p + sizeof r);
  }
  putU32(index, 12, 2);
  putU32(index, 4, nx::crc32(index.data() + 8, index.size() - 8));
  put(dir + "/report_index/online", index);
  std::vector<uint8_t> text = {3, 0, 7, 0, 0xEA, 0x07, 3, 0, 4, 0, 5, 0, 14, 0, 7, 0, 9, 0, 0, 0};
  for (char16_t c : std::u16string(u"\\Storage Card\\evil.exe")) {
    text.push_back(static_cast<uint8_t>(c));
    text.push_back(static_cast<uint8_t>(c >> 8));
  }
  put(dir + "/report_text/evil_path", text);

  // A quarantine database of two records, one move and one copy.
  std::vector<uint8_t> qdb(nx::kQuarantineHeadBytes);
  nx::QuarantineRecord rec{};
  const char16_t* sources[] = {u"\\Storage Card\\evil.exe", u"\\My Documents\\setup.cab"};
  for (int i = 0; i < 2; ++i) {
    std::u16string src(sources[i]), stored = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\Quarantine\\qf9530.qrt";
    std::memset(&rec, 0, sizeof rec);
    std::memcpy(rec.source, src.c_str(), (src.size() + 1) * 2);
    std::memcpy(rec.stored, stored.c_str(), (stored.size() + 1) * 2);
    std::memcpy(rec.threat, u"EICAR Test File", 32);
    rec.time = ce::SYSTEMTIME{2026, 12, 4, 10, 9, 5, 30, 0};
    rec.kind = i == 0 ? nx::kQuarantineMove : nx::kQuarantineCopy;
    uint8_t bytes[nx::kQuarantineRecordBytes];
    nx::encodeQuarantineRecord(rec, bytes);
    qdb.insert(qdb.end(), bytes, bytes + sizeof bytes);
  }
  nx::encodeQuarantineHead(2, 0, nullptr, qdb.data());
  putU32(qdb, 4, nx::crc32(qdb.data() + 8, qdb.size() - 8));
  put(dir + "/quarantine_db/two_records", qdb);
  return 0;
}
