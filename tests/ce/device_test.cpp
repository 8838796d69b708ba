#include <gtest/gtest.h>

#include "ce/ce.h"
#include "testkit.h"

TEST(Device, HelperAttachesToTheSameDevice) {
  nxtest::TempDevice dev;
  auto r = nxtest::runHelper({"root"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, dev.root() + "\n");
}
