// The project's ARJ writer: a main header, one local header and the packed
// data per member, and the end marker, with the header and data CRC-32s the
// readers check. Members are stored (method 0) or compressed with method 1;
// a member that would not get smaller is stored.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace nxpack {

enum class ArjMethod : uint8_t { Stored = 0, Compressed = 1 };

// DOS date and time as ARJ keeps them (local fields of the UTC time: the
// handset has no time zone of its own here).
uint32_t arjTime(std::time_t t);

class ArjWriter {
 public:
  // archiveName goes into the main header; it is not checked by readers.
  ArjWriter(const std::string& archiveName, uint32_t time);

  // Appends a member. The name is stored as it is (the caller has checked
  // it); it must not be empty and must fit a basic header. Data of 2 GiB or
  // more cannot be described by the format and is refused.
  void add(const std::string& name, const uint8_t* data, size_t size, uint32_t time, ArjMethod method);

  // The method actually used for the member added last.
  ArjMethod lastMethod() const { return lastMethod_; }

  // The finished archive (the end marker appended); the writer is done with it.
  std::vector<uint8_t> finish();

 private:
  void header(const std::vector<uint8_t>& basic);
  std::vector<uint8_t> out_;
  ArjMethod lastMethod_ = ArjMethod::Stored;
  bool finished_ = false;
};

}  // namespace nxpack
