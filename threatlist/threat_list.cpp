// The 11 operations of the threat list. A list belongs to one open file and
// is used by the thread scanning it, so nothing here is locked.
#include "threatlist/threat_list.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace threatlist {
namespace {

ThreatList* self(ThreatListObject* o) { return reinterpret_cast<ThreatList*>(o); }

void freeAll(ThreatList* l) {
  ThreatRecord* r = l->first;
  while (r) {
    ThreatRecord* next = r->link;
    std::free(r);
    r = next;
  }
  l->first = l->last = nullptr;
  l->count = 0;
}

int32_t append(ThreatListObject* o, const ThreatRecord* record) {
  ThreatList* l = self(o);
  if (!record || l->count == INT32_MAX) return 0;
  auto* copy = static_cast<ThreatRecord*>(std::malloc(sizeof(ThreatRecord)));
  if (!copy) return 0;
  std::memcpy(copy, record, sizeof(ThreatRecord));
  copy->link = nullptr;
  // Readers treat both texts as terminated strings; a scanner that filled a
  // field to the brim must not send them past its end.
  copy->name[NX_THREAT_NAME_CHARS - 1] = 0;
  copy->displayPath[NX_THREAT_PATH_CHARS - 1] = 0;
  if (l->last)
    l->last->link = copy;
  else
    l->first = copy;
  l->last = copy;
  ++l->count;
  return 1;
}

int32_t clear(ThreatListObject* o) {
  freeAll(self(o));
  return 1;
}

// The records an earlier user left behind are freed rather than dropped:
// dropping them would leak one 5 KiB record per detection.
int32_t init(ThreatListObject* o) { return clear(o); }

int32_t initWithRecord(ThreatListObject* o, const ThreatRecord* record) {
  if (!record) return 0;
  // The caller's record may be one of ours (the last detection, say): copy
  // it before the list is emptied.
  ThreatRecord saved;
  std::memcpy(&saved, record, sizeof saved);
  clear(o);
  if (append(o, &saved)) return 1;
  clear(o);
  return 0;
}

int32_t first(ThreatListObject* o, ThreatRecord** out) {
  ThreatList* l = self(o);
  if (!out || !l->first) return 0;
  *out = l->first;
  return 1;
}

int32_t next(ThreatListObject* o, ThreatRecord** inout) {
  ThreatList* l = self(o);
  if (!inout) return 0;
  // Only a record of this list is followed: the link of a caller's own block
  // (or of a freed record) is not a pointer to trust. Lists hold a handful
  // of records, so the walk costs nothing.
  ThreatRecord* r = l->first;
  while (r && r != *inout) r = r->link;
  *inout = r ? r->link : nullptr;
  return *inout ? 1 : 0;
}

int32_t last(ThreatListObject* o, ThreatRecord** out) {
  ThreatList* l = self(o);
  if (!out || !l->last) return 0;
  *out = l->last;
  return 1;
}

int32_t reserved(ThreatListObject*) { return 0; }

int32_t removeLast(ThreatListObject* o) {
  ThreatList* l = self(o);
  if (!l->last) return 0;
  if (l->first == l->last) {
    freeAll(l);
    return 1;
  }
  ThreatRecord* before = l->first;
  while (before->link != l->last) before = before->link;
  std::free(l->last);
  before->link = nullptr;
  l->last = before;
  --l->count;
  return 1;
}

int32_t count(ThreatListObject* o) { return self(o)->count; }

void destroy(ThreatListObject* o, int32_t freeFlag) {
  ThreatList* l = self(o);
  freeAll(l);
  if (freeFlag & 1) delete l;
}

const ThreatListOps kThreatListOps = {
    initWithRecord, init, clear, append, first, next, last, reserved, removeLast, count, destroy,
};

}  // namespace

ThreatList* createThreatList() {
  auto* l = new (std::nothrow) ThreatList{};
  if (l) l->base.ops = &kThreatListOps;
  return l;
}

}  // namespace threatlist
