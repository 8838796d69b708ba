// libFuzzer target for the screen journal's reader: the input is the whole
// "screen.log" of a device made for the run, read from its start, from the
// place the first read ended and from a place inside it. Every line handed
// out must be one whole JSON object, and the next place never lies beyond
// the file, whatever bytes, partial lines or runs without a line end it holds.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "ce/base.h"
#include "ce/screen.h"

namespace {

std::string g_journal;

void removeDevice() {
  const std::string root = ce::DeviceRoot();
  if (root.rfind("/tmp/nx-fuzz-journal-", 0) == 0) std::system(("rm -rf '" + root + "'").c_str());
}

void check(uint64_t from, uint64_t size) {
  uint64_t next = 0, skipped = 0;
  for (const std::string& line : ce::screen::ReadJournal(from, &next, &skipped)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) __builtin_trap();
  }
  if (next > size) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/nx-fuzz-journal-XXXXXX";
  if (!::mkdtemp(dir) || !ce::CreateDevice(dir)) std::abort();
  g_journal = ce::screen::JournalPath();
  std::atexit(removeDevice);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  int fd = ::open(g_journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (size_t at = 0; at < size;) {
    ssize_t n = ::write(fd, data + at, size - at);
    if (n <= 0) std::abort();
    at += static_cast<size_t>(n);
  }
  ::close(fd);
  uint64_t next = 0;
  ce::screen::ReadJournal(0, &next, nullptr);
  check(0, size);
  check(next, size);
  check(size / 2, size);
  check(size + 1, size);  // a journal started over since the last read
  return 0;
}
