// threatlist.dll: the list of threat records of one scanned file. Scanners
// append what they find; the session layer reads the last record to report
// and clean it. Records are copied in by the list and owned by it.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum : int32_t {
  NX_THREAT_NAME_CHARS = 256,
  NX_THREAT_PATH_CHARS = 2298,
};

// One detection. Scanners clear the whole record before filling it. The
// list keeps name and displayPath terminated: the last character of each is
// forced to 0 in the stored copy.
struct ThreatRecord {
  int16_t index;          // record index within the signature table
  int16_t category;       // source table code of the detection
  uint16_t rootType;      // type code of the outermost file
  uint16_t memberType;    // type code of the file or member holding the threat
  uint32_t memberLength;  // length in bytes of that file or member
  char16_t name[NX_THREAT_NAME_CHARS];
  char16_t displayPath[NX_THREAT_PATH_CHARS];
  // Next record, for the list's own use (ignored in a record being appended).
  // Pointer-sized on this host; the handset kept it in 32 bits.
  ThreatRecord* link;
};
static_assert(offsetof(ThreatRecord, category) == 2);
static_assert(offsetof(ThreatRecord, rootType) == 4);
static_assert(offsetof(ThreatRecord, memberType) == 6);
static_assert(offsetof(ThreatRecord, memberLength) == 8);
static_assert(offsetof(ThreatRecord, name) == 12);
static_assert(offsetof(ThreatRecord, displayPath) == 524);
static_assert(offsetof(ThreatRecord, link) == 5120);
static_assert(sizeof(ThreatRecord) == 5120 + sizeof(void*));

struct ThreatListObject;

// The table of operations, in the handset's order.
struct ThreatListOps {
  // 1 after the list is emptied and a copy of record appended; 0 for a null
  // record (the list is left as it was) or when the append fails (the list
  // is then empty).
  int32_t (*InitWithRecord)(ThreatListObject* self, const ThreatRecord* record);
  // 1; the list is empty. Records it held are freed.
  int32_t (*Init)(ThreatListObject* self);
  // 1; every record freed, the list empty.
  int32_t (*Clear)(ThreatListObject* self);
  // 1 after a copy of the record is linked at the end; 0 for a null record
  // or when memory runs out (the list is unchanged).
  int32_t (*Append)(ThreatListObject* self, const ThreatRecord* record);
  // 1 with the first record; 0 when the list is empty or out is null.
  int32_t (*First)(ThreatListObject* self, ThreatRecord** out);
  // 1 with the record after *inout; 0 with *inout set to null at the end, or
  // when *inout is not a record of this list.
  int32_t (*Next)(ThreatListObject* self, ThreatRecord** inout);
  // 1 with the last record; 0 when the list is empty or out is null.
  int32_t (*Last)(ThreatListObject* self, ThreatRecord** out);
  // Always 0.
  int32_t (*Reserved)(ThreatListObject* self);
  // 1 after the last record is unlinked and freed; 0 when the list is empty.
  int32_t (*RemoveLast)(ThreatListObject* self);
  // The number of records.
  int32_t (*Count)(ThreatListObject* self);
  // Clears the list, and frees the object when bit 0 of freeFlag is set.
  void (*Destroy)(ThreatListObject* self, int32_t freeFlag);
};
static_assert(sizeof(ThreatListOps) == 11 * sizeof(void*), "11 operations");

struct ThreatListObject {
  const ThreatListOps* ops;
};

// Exports.
using PFN_ThreatListLibInit = int32_t (*)();
using PFN_ThreatListLibDeinit = int32_t (*)();
// 1 with a new empty list stored through out; 0 for a null pointer or when
// memory runs out (out is not written then).
using PFN_CreateThreatListObject = int32_t (*)(ThreatListObject** out);
// 1 with a new list holding a copy of record; 0 for a null argument or
// failure (out is not written then).
using PFN_CreateThreatListObjectByVirusInfo = int32_t (*)(ThreatListObject** out, const ThreatRecord* record);
// Clears and frees the list; nothing for null.
using PFN_DeleteThreatListObject = void (*)(ThreatListObject* object);

}  // extern "C"
