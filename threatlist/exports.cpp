// Exports of threatlist.dll. The library holds no state besides the usage
// count of its module frame; every list is owned by whoever created it.
#include <atomic>

#include "platform/platform_api.h"
#include "threatlist/threat_list.h"

#define THREATLIST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::atomic<int32_t> g_usage{0};
}  // namespace

THREATLIST_EXPORT int32_t LibInit() { return g_usage.fetch_add(1) + 1; }

THREATLIST_EXPORT int32_t LibDeinit() {
  int32_t n = g_usage.load();
  do {
    if (n == 0) {
      WriteToLogW(g_szLogFileName, u"threatlist.dll: Error LibInit LibDeinit mismatched.");
      return 0;
    }
  } while (!g_usage.compare_exchange_weak(n, n - 1));
  return n - 1;
}

THREATLIST_EXPORT int32_t CreateThreatListObject(ThreatListObject** out) {
  if (!out) return 0;
  threatlist::ThreatList* l = threatlist::createThreatList();
  if (!l) return 0;
  *out = &l->base;
  return 1;
}

THREATLIST_EXPORT int32_t CreateThreatListObjectByVirusInfo(ThreatListObject** out, const ThreatRecord* record) {
  if (!out || !record) return 0;
  threatlist::ThreatList* l = threatlist::createThreatList();
  if (!l) return 0;
  if (!l->base.ops->Append(&l->base, record)) {
    l->base.ops->Destroy(&l->base, 1);
    return 0;
  }
  *out = &l->base;
  return 1;
}

THREATLIST_EXPORT void DeleteThreatListObject(ThreatListObject* object) {
  if (object) object->ops->Destroy(object, 1);
}
