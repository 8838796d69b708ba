// Small helpers the platform tests share.
#pragma once

#include <filesystem>
#include <string>

#include "ce/ce.h"
#include "testkit.h"

namespace pt {

// The file's bytes read as UTF-16LE.
inline std::u16string readUtf16(const nxtest::TempDevice& dev, const std::string& rel) {
  std::string raw = dev.readFile(rel);
  std::u16string out;
  for (size_t i = 0; i + 1 < raw.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | static_cast<uint8_t>(raw[i + 1]) << 8));
  return out;
}

inline std::string narrow(const std::u16string& s) { return ce::utf16ToUtf8(s); }

// Copies a module built by the tests into the device folder rel ("Program Files/X").
inline void installModule(const nxtest::TempDevice& dev, const std::string& builtPath, const std::string& rel) {
  std::filesystem::create_directories(dev.host(rel));
  std::filesystem::path from(builtPath);
  std::filesystem::copy_file(from, dev.host(rel) + "/" + from.filename().string(),
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace pt
