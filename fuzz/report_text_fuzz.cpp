// The report texts built from outside data: a "scanver.cnf" image (first 20
// bytes), then a title and a path taken from the rest as UTF-16 text, under
// every report kind and result code the layer knows.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/report_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nx::ScanVersionInfo v;
  if (!nx::decodeScanVersion(data, size, &v)) return 0;
  std::u16string text;
  for (size_t i = nx::kScanVersionBytes; i + 1 < size; i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (c) text.push_back(c);
  }
  nx::UiStrings none;
  ce::SYSTEMTIME t = v.database;  // a report time as damaged as the database's
  for (ce::DWORD kind = 1; kind <= 3; ++kind) {
    std::u16string h = nx::formatReportHeader(none, kind, text.c_str(), t, &v, data[0], data[1]);
    if (h.size() >= nx::kReportHeaderChars) std::abort();
  }
  for (ce::DWORD code : {2000u, 2001u, 2002u, 2003u, 2006u, 2007u, 2008u, 2014u, 2015u})
    nx::formatUpdateBody(none, code, &v, &v);
  for (ce::DWORD code : {3001u, 3002u, 3003u, 3004u, 3006u, 3007u, 3008u})
    nx::formatOnlineEntry(none, code, text.c_str(), text.c_str());
  return 0;
}
