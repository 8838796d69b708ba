// Type detection and reader binding for nxarc. Both go through the same
// modules and entry points the engine core uses, so that what nxarc reports
// for a file is what the engine's archive walk would meet.
#include "tools/nxarc/readers.h"

#include "archivekit/archivekit_api.h"
#include "arjkit/arjkit_api.h"
#include "filekit/filekit_api.h"
#include "platform/platform_api.h"
#include "scan/file_type.h"

namespace nxarc {

namespace {

struct Exports {
  const char16_t* module;
  const char16_t* create;
  const char16_t* destroy;
};

Exports exportsOf(Kind kind) {
  switch (kind) {
    case Kind::Sis: return {u"archivekit.dll", u"CreateSisSdkObject", u"DeleteSisSdkObject"};
    case Kind::Sisx: return {u"archivekit.dll", u"CreateSisxSdkObject", u"DeleteSisxSdkObject"};
    case Kind::Arj: return {u"arjkit.dll", u"CreateArjkitObject", u"DeleteArjkitObject"};
    case Kind::Cab: break;
  }
  return {u"archivekit.dll", u"CreateCabSdkObject", u"DeleteCabSdkObject"};
}

std::u16string inFolder(const std::u16string& dir, const char16_t* name) {
  std::u16string path = dir;
  if (!path.empty() && path.back() != u'\\') path.push_back(u'\\');
  return path + name;
}

}  // namespace

bool parseKind(const std::string& text, Kind& out) {
  if (text == "cab") out = Kind::Cab;
  else if (text == "sis") out = Kind::Sis;
  else if (text == "sisx") out = Kind::Sisx;
  else if (text == "arj") out = Kind::Arj;
  else return false;
  return true;
}

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Cab: return "CAB";
    case Kind::Sis: return "SIS";
    case Kind::Sisx: return "SISX";
    case Kind::Arj: return "ARJ";
  }
  return "?";
}

// The detector's code for an ARJ archive (its first bytes). The engine's own
// archive walk takes no ARJ archives, but the reader for them is the update
// engine's, and a renamed one is still the same archive.
constexpr int32_t kTypeArj = 5007;

bool kindForType(int32_t type, Kind& out) {
  switch (type) {
    case kTypeArj: out = Kind::Arj; return true;
    case nx::scan::kTypeCab: out = Kind::Cab; return true;
    case nx::scan::kTypeSis: out = Kind::Sis; return true;
    case nx::scan::kTypeSisx: out = Kind::Sisx; return true;
    default: return false;
  }
}

int32_t classifyArchive(const std::u16string& imageDir, const std::u16string& archive, std::string& error,
                        bool& setup) {
  setup = true;
  const std::u16string modulePath = inFolder(imageDir, u"filekit.dll");
  ce::HMODULE module = MyLoadLibraryW(modulePath.c_str());
  if (!module) {
    error = "cannot load " + ce::utf16ToUtf8(modulePath);
    return -1;
  }
  auto create = reinterpret_cast<PFN_CreateFileWrapObject>(MyGetProcAddressW(module, u"CreateFileWrapObject"));
  auto destroy = reinterpret_cast<PFN_DeleteFileWrapObject>(MyGetProcAddressW(module, u"DeleteFileWrapObject"));
  FileWrapObject* fw = nullptr;
  if (!create || !destroy || !create(&fw) || !fw) {
    error = "filekit.dll gives no file wrapper";
    MyFreeLibrary(module);
    return -1;
  }
  setup = false;
  int32_t type = -1;
  const int32_t h = fw->ops->OpenW(fw, archive.c_str(), NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) {
    error = "cannot open the archive";
  } else {
    // As the engine does: an empty file is of no type, one whose length
    // cannot be had is a failed classification.
    const int32_t size = fw->ops->Size(fw, h);
    if (size == 0) {
      type = nx::scan::kTypeUnknown;
    } else if (size > 0) {
      fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
      type = nx::scan::classifyFile(fw, h, archive.c_str(), NxGetLongPathNameW);
    }
    if (type < 0) error = "cannot read the archive";
    fw->ops->Close(fw, h);
  }
  destroy(fw);
  MyFreeLibrary(module);
  return type;
}

BoundReader::~BoundReader() {
  if (reader_) {
    // The two modules' delete exports differ in what they return.
    if (kind_ == Kind::Arj)
      reinterpret_cast<PFN_DeleteArjkitObject>(destroy_)(reader_);
    else
      reinterpret_cast<PFN_DeleteArchiveObject>(destroy_)(reader_);
  }
  if (module_) MyFreeLibrary(module_);
}

bool BoundReader::bind(Kind kind, const std::u16string& imageDir, std::string& error, bool& missing) {
  missing = false;
  kind_ = kind;
  const Exports e = exportsOf(kind);
  const std::u16string modulePath = inFolder(imageDir, e.module);
  module_ = MyLoadLibraryW(modulePath.c_str());
  if (!module_) {
    error = "cannot load " + ce::utf16ToUtf8(modulePath);
    return false;
  }
  ce::FARPROC create = MyGetProcAddressW(module_, e.create);
  destroy_ = MyGetProcAddressW(module_, e.destroy);
  if (!create || !destroy_) {
    missing = true;
    error = std::string("this build has no ") + kindName(kind) + " reader";
    return false;
  }
  if (kind == Kind::Arj) lastResult_ = MyGetProcAddressW(module_, u"ArjkitLastResult");
  setLimits_ = MyGetProcAddressW(module_, u"SetArchiveReaderLimits");
  status_ = MyGetProcAddressW(module_, u"GetArchiveReaderStatus");
  ArchiveReader* reader = nullptr;
  if (!reinterpret_cast<PFN_CreateArchiveObject>(create)(&reader) || !reader || !reader->ops) {
    error = std::string("the ") + kindName(kind) + " reader could not be made";
    return false;
  }
  reader_ = reader;
  return true;
}

bool BoundReader::setLimits(const ArchiveReaderLimits& limits) const {
  return reader_ && setLimits_ && reinterpret_cast<NxSetArchiveReaderLimitsFn>(setLimits_)(reader_, &limits) == 1;
}

bool BoundReader::status(ArchiveReaderStatus& out) const {
  out = ArchiveReaderStatus{};
  out.size = sizeof out;
  return reader_ && status_ && reinterpret_cast<NxGetArchiveReaderStatusFn>(status_)(reader_, &out) == 1;
}

int32_t BoundReader::lastMemberResult() const {
  if (!reader_ || !lastResult_) return 1;
  return reinterpret_cast<PFN_ArjkitLastResult>(lastResult_)(reader_);
}

}  // namespace nxarc
