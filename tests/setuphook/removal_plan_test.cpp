// Which folders removing the product may take, from the installation
// directory alone: the product's own folder, and its parent only when that is
// the product's "Nyxel" folder.
#include <gtest/gtest.h>

#include "ce/text.h"
#include "setuphook/removal.h"

namespace {

struct PlanCase {
  const char* name;
  const char16_t* installDir;
  const char16_t* product;  // "" = nothing may be removed
  const char16_t* parent;   // "" = the parent stays
};

class RemovalPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(RemovalPlanTest, OnlyTheProductsOwnFolders) {
  const PlanCase& c = GetParam();
  setup::RemovalPlan plan = setup::planRemoval(c.installDir);
  EXPECT_EQ(ce::utf16ToUtf8(plan.productFolder), ce::utf16ToUtf8(c.product));
  EXPECT_EQ(ce::utf16ToUtf8(plan.parentFolder), ce::utf16ToUtf8(c.parent));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RemovalPlanTest,
    ::testing::Values(
        PlanCase{"Standard", u"\\Program Files\\Nyxel\\Nyxel AntiVirus", u"\\Program Files\\Nyxel\\Nyxel AntiVirus",
                 u"\\Program Files\\Nyxel"},
        PlanCase{"ParentNameIgnoresCase", u"\\Program Files\\NYXEL\\nyxel antivirus",
                 u"\\Program Files\\NYXEL\\nyxel antivirus", u"\\Program Files\\NYXEL"},
        PlanCase{"Card", u"\\Storage Card\\Nyxel\\Nyxel AntiVirus", u"\\Storage Card\\Nyxel\\Nyxel AntiVirus",
                 u"\\Storage Card\\Nyxel"},
        PlanCase{"UserFolderParentStays", u"\\My Documents\\Nyxel AntiVirus", u"\\My Documents\\Nyxel AntiVirus", u""},
        PlanCase{"ParentOnlyLikeTheName", u"\\Program Files\\NyxelStuff\\Nyxel AntiVirus",
                 u"\\Program Files\\NyxelStuff\\Nyxel AntiVirus", u""},
        PlanCase{"ProductAtTheRoot", u"\\Nyxel AntiVirus", u"\\Nyxel AntiVirus", u""},
        PlanCase{"BelowWindows", u"\\Windows\\Nyxel AntiVirus", u"\\Windows\\Nyxel AntiVirus", u""},
        PlanCase{"NyxelAtTheRoot", u"\\Nyxel\\Nyxel AntiVirus", u"\\Nyxel\\Nyxel AntiVirus", u"\\Nyxel"},
        PlanCase{"Root", u"\\", u"", u""},
        PlanCase{"Windows", u"\\Windows", u"", u""},
        PlanCase{"NotTheProductFolder", u"\\Program Files\\Nyxel", u"", u""},
        PlanCase{"ProductNameOnlyInside", u"\\Nyxel AntiVirus\\Other", u"", u""},
        PlanCase{"HostMount", u"\\Host\\home\\Nyxel\\Nyxel AntiVirus", u"", u""},
        PlanCase{"HostMountAnyCase", u"\\HOST\\Nyxel AntiVirus", u"", u""},
        PlanCase{"DotDot", u"\\Program Files\\..\\Windows\\Nyxel AntiVirus", u"", u""},
        PlanCase{"DotDotAsTheParent", u"\\Windows\\Nyxel\\..\\Nyxel AntiVirus", u"", u""},
        PlanCase{"Dot", u"\\Program Files\\.\\Nyxel\\Nyxel AntiVirus", u"", u""},
        PlanCase{"ForwardDotDot", u"\\Program Files/../Nyxel AntiVirus", u"", u""},
        PlanCase{"EmptyComponent", u"\\Program Files\\\\Nyxel AntiVirus", u"", u""},
        PlanCase{"TrailingSeparator", u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\", u"", u""},
        PlanCase{"Relative", u"Program Files\\Nyxel\\Nyxel AntiVirus", u"", u""},
        PlanCase{"Empty", u"", u"", u""}),
    [](const ::testing::TestParamInfo<PlanCase>& i) { return std::string(i.param.name); });

TEST(RemovalPlan, NullAndOverlongPathsRemoveNothing) {
  EXPECT_TRUE(setup::planRemoval(nullptr).productFolder.empty());
  std::u16string longPath = u"\\" + std::u16string(250, u'a') + u"\\Nyxel AntiVirus";
  EXPECT_TRUE(setup::planRemoval(longPath.c_str()).productFolder.empty());
}

}  // namespace
