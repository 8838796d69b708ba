// Object factories of archivekit.dll.
#include <new>

#include "archivekit/archivekit_api.h"
#include "archivekit/cab_reader.h"
#include "archivekit/module.h"
#include "archivekit/sis_reader.h"
#include "archivekit/sisx_reader.h"

#define NX_EXPORT __attribute__((visibility("default")))

extern "C" {

NX_EXPORT int32_t CreateCabSdkObject(ArchiveReaderObject** out) {
  if (!out) return 0;
  *out = new (std::nothrow) nx::cab::CabReader(nx::arc::cabFileWrapper());
  return *out ? 1 : 0;
}

// One function deletes every kind of reader: each frees itself in Destroy.
NX_EXPORT void DeleteCabSdkObject(ArchiveReaderObject* object) {
  if (object) object->ops->Destroy(object, 1);
}

NX_EXPORT int32_t CreateSisSdkObject(ArchiveReaderObject** out) {
  if (!out) return 0;
  *out = nullptr;
  *out = new (std::nothrow) nx::sis::SisReader(nx::sis::sisLayerWrapper(), nx::sis::inflaterLayerWrapper());
  return *out ? 1 : 0;
}

NX_EXPORT void DeleteSisSdkObject(ArchiveReaderObject* object) {
  if (object) object->ops->Destroy(object, 1);
}

NX_EXPORT int32_t CreateSisxSdkObject(ArchiveReaderObject** out) {
  if (!out) return 0;
  *out = nullptr;
  *out = new (std::nothrow) nx::sis::SisxReader(nx::sis::sisLayerWrapper(), nx::sis::inflaterLayerWrapper());
  return *out ? 1 : 0;
}

NX_EXPORT void DeleteSisxSdkObject(ArchiveReaderObject* object) {
  if (object) object->ops->Destroy(object, 1);
}

// The budget of any reader of this module, and its account since Open.
NX_EXPORT int32_t SetArchiveReaderLimits(ArchiveReaderObject* object, const ArchiveReaderLimits* limits) {
  if (!object || !limits) return 0;
  if (auto* r = nx::cab::asCabReader(object)) return r->setLimits(*limits);
  if (auto* r = nx::sis::asSisReader(object)) return r->setLimits(*limits);
  if (auto* r = nx::sis::asSisxReader(object)) return r->setLimits(*limits);
  return 0;
}

NX_EXPORT int32_t GetArchiveReaderStatus(ArchiveReaderObject* object, ArchiveReaderStatus* status) {
  if (!object || !status || status->size < sizeof(ArchiveReaderStatus)) return 0;
  if (auto* r = nx::cab::asCabReader(object)) {
    r->status(*status);
  } else if (auto* r2 = nx::sis::asSisReader(object)) {
    r2->status(*status);
  } else if (auto* r3 = nx::sis::asSisxReader(object)) {
    r3->status(*status);
  } else {
    return 0;
  }
  return 1;
}

}  // extern "C"
