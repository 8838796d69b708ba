// Walking an ARJ archive through the file wrapper: the main-header search,
// header parsing with CRC checks, and the two entries the reader object is
// built on, CountMembers and ExtractMember. Paths are in the system code page.
//
// Each call opens the archive and closes it again; nothing decoded is kept
// between calls. A reader taking the members one after another keeps its
// place in a WalkPlace: counting finds the main header once and leaves the
// place at the first member, and each extraction reads the header found
// there and moves the place past the member's data. All state of one call
// is its own, so calls on different archives do not disturb each other.
#pragma once

#include <cstdint>

#include "common/reader_budget.h"
#include "filekit/filekit_api.h"

namespace nx::arj {

// Results of the two entries (negative) and the per-member errors they count.
enum : int32_t {
  kErrNotOpenable = -103,  // the archive cannot be opened
  kErrNoMainHeader = -111, // no main header within the search range
  kErrMainHeader = -100,   // the main header found could not be read
  kErrHeader = -101,       // a local header with a wrong id or size, or cut short
  kErrHeaderCrc = -109,    // a header whose CRC or sizes are wrong
  kErrCounted = -115,      // errors were counted (a member could not be extracted)
};
enum : int32_t {
  kMemberVersion = 142,   // needs a newer extractor than version 3
  kMemberType = 143,      // neither a binary nor a text member
  kMemberMethod = 144,    // method above 4, or method 4 from archiver version 1
  kMemberGarbled = 148,   // encrypted
  kMemberCrc = 150,       // the decoded data does not match the stored CRC
  kMemberOutput = 153,    // the output file could not be created
  kMemberLimit = 160,     // beyond what the reader's budget allows: not extracted
};

inline constexpr uint32_t kSearchLimit = 500000;  // the main header must start below this offset
inline constexpr int32_t kMaxBasicHeader = 2600;
inline constexpr int32_t kNameCapacity = 512;
inline constexpr int32_t kCommentCapacity = 2048;
inline constexpr int32_t kCallerNameCapacity = 260;

// What one call observed, for callers that need more than the result.
struct WalkReport {
  int32_t errors = 0;      // member errors counted
  int32_t lastError = 0;   // the last member error code (142 ... 153), 0 for none
  int32_t headerOffset = -1;  // where the main header was found
};

// Where a walk taking the members in order stands: the archive offset of
// the next member's local header (-1 before counting found it).
struct WalkPlace {
  int64_t next = -1;
};

// Number of members, or kErrNotOpenable / kErrNoMainHeader / kErrMainHeader.
// A bad local header ends the walk: the members before it count. With a
// place, it is left at the first member's header.
int32_t countMembers(FileWrapObject* files, const char* archivePath, WalkReport* report = nullptr,
                     WalkPlace* place = nullptr, nx::ReaderBudget* budget = nullptr);

// Extracts the member whose header is at the place and moves the place past
// its data; the results are those of extractMember. A header that is not
// there (the archive changed) answers kErrHeader or kErrHeaderCrc. With a
// budget, a member whose size it does not allow is refused unread and the
// bytes produced are counted against it; a member cut short by the work
// time fails its CRC.
int32_t extractAt(FileWrapObject* files, const char* archivePath, WalkPlace& place, const char* outputPath, char* name,
                  WalkReport* report = nullptr, nx::ReaderBudget* budget = nullptr);

// Extracts member n (from 1) to outputPath and stores its name (at most 259
// bytes and a terminator) in name. 1 when nothing went wrong, kErrCounted
// when the member was refused or is damaged, or the archive-level errors of
// countMembers. Without a member n nothing is written and name is unchanged.
int32_t extractMember(FileWrapObject* files, const char* archivePath, int32_t n, const char* outputPath, char* name,
                      WalkReport* report = nullptr);

// Decodes every member without writing it and checks its CRC, in one walk.
// The member count when all were sound, kErrCounted when any was refused or
// damaged, or the archive-level errors of countMembers.
int32_t testMembers(FileWrapObject* files, const char* archivePath, WalkReport* report = nullptr);

}  // namespace nx::arj
