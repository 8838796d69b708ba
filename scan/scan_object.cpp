// CreateNXScan/DeleteNXScan: the scanner list of one file, chosen by its
// type code, and ScanFileType, the classification offered to the session
// layer.
#include <cstdlib>
#include <cstring>

#include "ce/files.h"
#include "platform/platform_api.h"
#include "scan/engine.h"
#include "scan/file_type.h"

namespace nx::scan {
namespace {

struct Choice {
  int32_t code;
  NxCreateScannerFn create;
  NxDeleteScannerFn destroy;
};

bool isRegularFile(const char16_t* path) {
  const ce::DWORD a = ce::GetFileAttributesW(path);
  return a != ce::INVALID_FILE_ATTRIBUTES && !(a & ce::FILE_ATTRIBUTE_DIRECTORY);
}

Choice fromSlot(SlotId id, int32_t code) {
  Slot s = slotSnapshot(id);
  return {code, reinterpret_cast<NxCreateScannerFn>(s.create), reinterpret_cast<NxDeleteScannerFn>(s.destroy)};
}

Choice archiveChoice(int32_t code) { return {code, createArchiveScanner, deleteArchiveScanner}; }

// Archives are opened only while the walk is above the depth limit, with
// archive scanning on and the kind not excluded.
bool archiveAllowed(const ScanSettings* s, int32_t depth, uint32_t excludeBit) {
  const int32_t maxDepth = s->maxDepth < kDepthCeiling ? s->maxDepth : kDepthCeiling;
  return s->scanArchives != 0 && depth < maxDepth && (s->archiveExclude & excludeBit) == 0;
}

}  // namespace

bool archiveBeyondDepth(int32_t type, const ScanSettings* s, int32_t depth) {
  uint32_t bit = 0;
  if (type == kTypeCab) bit = NX_EXCLUDE_CAB;
  if (type == kTypeSis || type == kTypeSisx) bit = NX_EXCLUDE_SIS;
  if (bit == 0 || s->scanArchives == 0 || (s->archiveExclude & bit) != 0) return false;
  const int32_t maxDepth = s->maxDepth < kDepthCeiling ? s->maxDepth : kDepthCeiling;
  return depth >= maxDepth;
}

namespace {

// The scanners for a type code, in list order. 0 entries: no scanner suits
// the file (or the module it needs could not be loaded).
int chooseScanners(int32_t type, const ScanSettings* s, int32_t depth, Choice (&out)[3]) {
  switch (type) {
    case kTypeCab:
      if (!archiveAllowed(s, depth, NX_EXCLUDE_CAB) || !onDemandLoaded(kCab)) return 0;
      out[0] = archiveChoice(NX_LIST_CAB);
      return 1;
    case kTypeSis:
      out[0] = fromSlot(kMisc, NX_LIST_SIS_MISC);
      if (!archiveAllowed(s, depth, NX_EXCLUDE_SIS)) return 1;
      if (!onDemandLoaded(kSis)) return 0;
      out[1] = archiveChoice(NX_LIST_SIS);
      return 2;
    case kTypeSisx:
      if (!archiveAllowed(s, depth, NX_EXCLUDE_SIS) || !onDemandLoaded(kSis)) return 0;
      out[0] = archiveChoice(NX_LIST_SISX);
      return 1;
    case kTypeEpocExe:
      if (!onDemandLoaded(kEpoc)) return 0;
      out[0] = fromSlot(kEpoc, NX_LIST_EPOC);
      return 1;
    case kTypeEpocStore:
    case kTypeGdr:
      out[0] = fromSlot(kBatch, type);
      return 1;
    case kTypeCeLibrary:
    case kTypeCeProgram:
      out[0] = fromSlot(kCategory, NX_LIST_CATEGORY);
      out[1] = fromSlot(kPeSignature, NX_LIST_PE_SIGNATURE);
      out[2] = fromSlot(kPePoly, NX_LIST_PE_POLY);
      return 3;
    case kTypeTestFile:
      out[0] = fromSlot(kMisc, NX_LIST_TEST_FILE);
      return 1;
    default:
      return 0;
  }
}

}  // namespace

int32_t createNXScan(int32_t fileHandle, const char16_t* path, ScanSettings* settings, int32_t depth,
                     ScannerObject*** objects, int32_t** codes, int32_t* count, int32_t* typeCode, uint32_t* length) {
  if (!path || !settings || !objects || !codes || !count || !typeCode || !length || depth < 0)
    return NX_ENGINE_FAILURE;
  *objects = nullptr;
  *codes = nullptr;
  *count = 0;
  *typeCode = 0;
  *length = 0;
  FileWrapObject* fw = wrapper();
  if (!fw) return NX_ENGINE_FAILURE;

  int32_t h = fileHandle;
  const bool ownHandle = fileHandle == -1;
  if (ownHandle) {
    if (!isRegularFile(path)) return NX_ENGINE_NOT_REGULAR;
    h = fw->ops->OpenW(fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) return NX_ENGINE_ERROR;
  }
  auto finish = [&](int32_t result) {
    if (ownHandle) fw->ops->Close(fw, h);
    return result;
  };

  fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
  const int32_t size = fw->ops->Size(fw, h);
  if (size < 0) return finish(NX_ENGINE_ERROR);
  if (size == 0) return finish(NX_ENGINE_FAILURE);
  const int32_t type = classifyFile(fw, h, path, NxGetLongPathNameW);
  // The scanners read from the start: the handle is given back rewound.
  fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
  if (type == kClassifyFailed) return finish(NX_ENGINE_ERROR);
  *typeCode = type;
  *length = static_cast<uint32_t>(size);
  finish(0);

  Choice chosen[3] = {};
  const int n = chooseScanners(type, settings, depth, chosen);
  if (n == 0) return NX_ENGINE_FAILURE;
  for (int i = 0; i < n; ++i)
    if (!chosen[i].create || !chosen[i].destroy) return NX_ENGINE_FAILURE;

  auto* codeArray = static_cast<int32_t*>(std::calloc(static_cast<size_t>(n), sizeof(int32_t)));
  if (!codeArray) return NX_ENGINE_FAILURE;
  auto* objectArray = static_cast<ScannerObject**>(std::calloc(static_cast<size_t>(n), sizeof(ScannerObject*)));
  if (!objectArray) {
    std::free(codeArray);
    return NX_ENGINE_FAILURE;
  }
  for (int i = 0; i < n; ++i) codeArray[i] = chosen[i].code;
  for (int i = 0; i < n; ++i) {
    if (chosen[i].create(&objectArray[i], chosen[i].code) == 0 || !objectArray[i]) {
      objectArray[i] = nullptr;
      for (int j = i - 1; j >= 0; --j) chosen[j].destroy(objectArray[j]);
      std::free(objectArray);
      std::free(codeArray);
      return NX_ENGINE_FAILURE;
    }
  }
  *objects = objectArray;
  *codes = codeArray;
  *count = n;
  return NX_ENGINE_SUCCESS;
}

int32_t deleteNXScan(ScannerObject** objects, int32_t* codes, int32_t count) {
  if (!objects || !codes) return NX_ENGINE_MISSING_ARG;
  for (int32_t i = count - 1; i >= 0; --i)
    if (objects[i]) objects[i]->ops->Release(objects[i]);
  std::free(objects);
  std::free(codes);
  return NX_ENGINE_SUCCESS;
}

int32_t scanFileType(const char16_t* path, uint16_t* category, uint16_t* type) {
  if (category) *category = 0;
  if (type) *type = 0;
  FileWrapObject* fw = wrapper();
  if (!path || !category || !fw || !isRegularFile(path)) return NX_ENGINE_FAILURE;
  const int32_t h = fw->ops->OpenW(fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) return NX_ENGINE_ERROR;
  const int32_t size = fw->ops->Size(fw, h);
  int32_t code = 0;
  if (size != 0) code = size < 0 ? kClassifyFailed : classifyFile(fw, h, path, NxGetLongPathNameW);
  fw->ops->Close(fw, h);
  if (code == kClassifyFailed) return NX_ENGINE_FAILURE;
  *category = static_cast<uint16_t>(typeCategory(code));
  if (type) *type = static_cast<uint16_t>(code);
  return NX_ENGINE_SUCCESS;
}

}  // namespace nx::scan
