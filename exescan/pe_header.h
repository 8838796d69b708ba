// Reading the headers of a PE image and finding the file offset of its entry point, shared by
// the three Windows CE scanners and by the signature compiler's `learn`.
//
// All reads go through a Reader so the scanners can use the engine's file wrapper and the
// compiler a buffer in memory. A read that cannot be satisfied returns fewer bytes; header
// bytes that could not be read count as zeros.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::pe {

struct Reader {
  // Reads up to len bytes at offset into buf; returns the number read (0 on failure).
  std::size_t (*readAt)(void* ctx, std::uint64_t offset, void* buf, std::size_t len);
  void* ctx;
  std::size_t read(std::uint64_t offset, void* buf, std::size_t len) const { return readAt(ctx, offset, buf, len); }
};

struct Headers {
  std::uint32_t peOffset = 0;         // the 32-bit value at 60 of the DOS header
  std::uint16_t sectionCount = 0;
  std::uint16_t optionalHeaderSize = 0;
  std::uint16_t characteristics = 0;
  std::uint32_t entryRva = 0;
  std::uint16_t subsystem = 0;
  std::uint32_t dataDirectories = 0;
  std::uint64_t sectionTable = 0;     // file offset of the first section header
  bool mz = false;                    // "MZ" at 0
  bool peSignature = false;           // "PE\0\0" at peOffset
  bool isWindowsCe() const { return mz && peSignature && subsystem == 9; }
};

constexpr std::uint16_t kSubsystemWindowsCe = 9;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSectionNameSize = 8;

Headers readHeaders(const Reader& reader);

struct EntryPoint {
  std::int64_t offset = -1;     // file offset of the entry point, -1 when it has none
  int section = -1;             // index of the section that holds the RVA, -1 for none
  char sectionName[kSectionNameSize + 1] = {};  // that section's name, zero-terminated; empty for none
};

// Walks the section table. `offset` applies every rule including the fallback for an entry
// point below all sections; `section`/`sectionName` name the holding section only.
EntryPoint findEntryPoint(const Reader& reader, const Headers& headers);

}  // namespace nx::pe
