// Walking an ARJ archive through the file wrapper: the main-header search,
// header parsing with CRC checks, and the two entries the reader object is
// built on, CountMembers and ExtractMember. Paths are in the system code page.
//
// Each call opens the archive, walks its headers from the start and closes
// it again; nothing decoded is kept between calls. All state of one call is
// its own, so calls on different archives do not disturb each other.
#pragma once

#include <cstdint>

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

// Number of members, or kErrNotOpenable / kErrNoMainHeader / kErrMainHeader.
// A bad local header ends the walk: the members before it count.
int32_t countMembers(FileWrapObject* files, const char* archivePath, WalkReport* report = nullptr);

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
