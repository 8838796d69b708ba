// Reading a package's ARJ body back the way the handset does, through
// arjkit's own decoder over an in-memory file wrapper: the member count,
// each member's name, contents and result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "server_files.h"

namespace nxpack {

struct ArchiveMember {
  std::string name;
  Bytes data;
  int32_t result = 0;  // 1 sound, else the decoder's result
  int32_t error = 0;   // the member error code (142 ... 153), 0 for none
};

struct ArchiveContents {
  int32_t count = 0;  // negative: the archive-level error of the decoder
  std::vector<ArchiveMember> members;
};

// Member contents are kept only for the names keep accepts (all without one).
ArchiveContents readArchive(const Bytes& arj, const std::function<bool(const std::string&)>& keep = {});

// The decoder stops quietly at a damaged local header, counting only the
// members before it. This walk insists on the whole structure: the main
// header at offset 0, every local header whole with its CRC, the packed data
// inside the file, and the end marker as the last four bytes. The number of
// members, or -1 with the reason.
int32_t walkHeaders(const Bytes& arj, std::string& why);

// What a member error code means, for messages.
std::string memberErrorText(int32_t error);
std::string archiveErrorText(int32_t result);

}  // namespace nxpack
