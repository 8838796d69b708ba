// The cabinet reader over the file wrapper on a scratch device, for the
// reader tests: cabinets written into \Temp and opened, members taken
// until ExtractNext answers 0.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archivekit/cab_reader.h"
#include "cab_builder.h"
#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "testkit.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateFileWrapObject(FileWrapObject** out);
}

namespace cabtest {

using nx::cab::CabReader;

class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LibInit(), 1);
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
    reader = std::make_unique<CabReader>(fw);
  }
  void TearDown() override {
    reader.reset();
    LibDeinit();
  }
  // Writes the cabinet as \Temp\<name> and opens it.
  int open(const std::string& bytes, const std::string& name = "a.cab") {
    dev.writeFile("Temp/" + name, bytes);
    std::u16string path = u"\\Temp\\" + ce::utf8ToUtf16(name);
    return reader->Open(path.c_str());
  }
  struct Member {
    std::string name, data;
  };
  // Takes members until ExtractNext answers 0 (at most `most`).
  std::vector<Member> takeAll(int most = 100) {
    std::vector<Member> out;
    for (int i = 0; i < most; ++i) {
      std::u16string path = u"\\Temp\\m" + ce::utf8ToUtf16(std::to_string(i));
      char16_t name[260] = {};
      if (!reader->ExtractNext(path.c_str(), name)) break;
      out.push_back({ce::utf16ToUtf8(name), dev.readFile("Temp/m" + std::to_string(i))});
    }
    return out;
  }

  ArchiveReaderStatus status() const {
    ArchiveReaderStatus st{};
    st.size = sizeof st;
    reader->status(st);
    return st;
  }

  nxtest::TempDevice dev;
  FileWrapObject* fw = nullptr;
  std::unique_ptr<CabReader> reader;
};

}  // namespace cabtest
