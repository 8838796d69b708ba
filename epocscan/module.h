// The EPOC scanner's module state as its exports and its objects see it.
#pragma once

#include <cstdint>
#include <memory>

#include "common/engine_types.h"
#include "epocscan/epoc_signatures.h"
#include "filekit/filekit_api.h"

namespace nx::epoc {

inline constexpr const char16_t* kModuleFile = u"epocscan.dll";

int32_t libInit();
int32_t libDeinit();
int32_t reload();

// What a scan works with: the wrapper object and the tables as they stand
// when the scan starts (a reload does not free them under it).
struct ScanContext {
  FileWrapObject* wrapper = nullptr;
  std::shared_ptr<const TableSet> tables;
};
ScanContext scanContext();

int32_t createScanner(ScannerObject** out, int32_t listCode);
int32_t deleteScanner(ScannerObject* object);

}  // namespace nx::epoc
