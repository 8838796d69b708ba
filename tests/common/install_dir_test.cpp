#include <gtest/gtest.h>

#include <string>

#include "ce/ce.h"
#include "common/install_dir.h"
#include "testkit.h"

namespace {

using ce::WCHAR;

void setValue(ce::DWORD type, const void* data, ce::DWORD cb) {
  ce::HKEY k = nullptr;
  ASSERT_EQ(ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey, 0, nullptr, 0, 0, nullptr, &k, nullptr),
            (ce::LONG)ce::ERROR_SUCCESS);
  ASSERT_EQ(ce::RegSetValueExW(k, nx::kInstallRegValue, 0, type, static_cast<const ce::BYTE*>(data), cb),
            (ce::LONG)ce::ERROR_SUCCESS);
  ce::RegCloseKey(k);
}

void setString(const std::u16string& s) {
  setValue(ce::REG_SZ, s.c_str(), static_cast<ce::DWORD>((s.size() + 1) * sizeof(WCHAR)));
}

std::u16string lookup(ce::DWORD cap = ce::MAX_PATH) {
  WCHAR buf[ce::MAX_PATH] = u"untouched";
  return nx::getInstallDirectory(buf, cap) ? std::u16string(buf) : u"FAILED:" + std::u16string(buf);
}

const std::u16string kDefault = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";

TEST(InstallDir, MissingValueGivesTheDefault) {
  nxtest::TempDevice dev;
  EXPECT_EQ(lookup(), kDefault);
}

TEST(InstallDir, ValueNamesTheParentFolder) {
  nxtest::TempDevice dev;
  struct Case {
    std::u16string value;
    std::u16string expect;
  } cases[] = {
      {u"\\Storage Card\\Apps", u"\\Storage Card\\Apps\\Nyxel AntiVirus"},
      {u"\\Storage Card\\Apps\\", u"\\Storage Card\\Apps\\Nyxel AntiVirus"},
      {u"\\", u"\\Nyxel AntiVirus"},
      {u"", kDefault},                                  // empty value
      {std::u16string(259, u'a'), kDefault},            // result would not fit 260
      {std::u16string(243, u'a'), std::u16string(243, u'a') + u"\\Nyxel AntiVirus"},  // fits exactly
  };
  for (const Case& c : cases) {
    setString(c.value);
    EXPECT_EQ(lookup(), c.expect) << c.value.size();
  }
}

TEST(InstallDir, UnusableValuesFallBack) {
  nxtest::TempDevice dev;
  ce::DWORD number = 5;
  setValue(ce::REG_DWORD, &number, sizeof number);
  EXPECT_EQ(lookup(), kDefault);
  // Longer than the 520-byte read: refused by the registry, default used.
  std::u16string huge(400, u'h');
  setString(huge);
  EXPECT_EQ(lookup(), kDefault);
  // Data without a terminator is taken by its length.
  std::u16string bare = u"\\Apps";
  setValue(ce::REG_SZ, bare.data(), static_cast<ce::DWORD>(bare.size() * sizeof(WCHAR)));
  EXPECT_EQ(lookup(), u"\\Apps\\Nyxel AntiVirus");
}

TEST(InstallDir, SmallBufferIsNeverWrittenShort) {
  nxtest::TempDevice dev;
  EXPECT_EQ(lookup(static_cast<ce::DWORD>(kDefault.size())), u"FAILED:untouched");
  EXPECT_EQ(lookup(static_cast<ce::DWORD>(kDefault.size() + 1)), kDefault);
  // The registry result does not fit but the default does: the default.
  setString(u"\\Storage Card\\Some Longer Folder");
  EXPECT_EQ(lookup(static_cast<ce::DWORD>(kDefault.size() + 1)), kDefault);
  EXPECT_FALSE(nx::getInstallDirectory(nullptr, ce::MAX_PATH));
}

}  // namespace
