// The threat list object: an ordered, singly linked list of owned copies of
// threat records.
#pragma once

#include <cstdint>

#include "threatlist/threatlist_api.h"

namespace threatlist {

struct ThreatList {
  ThreatListObject base;  // first, so ThreatListObject* converts back
  int32_t count;
  ThreatRecord* first;
  ThreatRecord* last;
};

// A new empty list, or nullptr when memory runs out.
ThreatList* createThreatList();

}  // namespace threatlist
