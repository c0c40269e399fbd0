// engine_sim's allow list: its entries' form and whom it lets open what.
#include "allow_list.h"

#include <gtest/gtest.h>

namespace vdqrn {

namespace {

using engine_sim_cli::AllowList;

TEST(AllowList, OffUntilAnEntryIsAdded) {
  AllowList list;
  EXPECT_FALSE(list.Enabled());
  EXPECT_TRUE(list.Permits("QrnCmd1", "C:\\any.exe"));
}

TEST(AllowList, EntriesNeedAChannelOfSevenCharactersAtMostAndAPath) {
  AllowList list;
  EXPECT_FALSE(list.Add("QrnCmd1"));
  EXPECT_FALSE(list.Add(",C:\\host.exe"));
  EXPECT_FALSE(list.Add("QrnCmd1,"));
  EXPECT_FALSE(list.Add("QrnCmd12,C:\\host.exe"));
  EXPECT_FALSE(list.Enabled());
  EXPECT_TRUE(list.Add("QrnCmd1,C:\\Program Files\\a,b\\host.exe"));  // the first comma splits
  EXPECT_TRUE(list.Permits("QrnCmd1", "C:\\Program Files\\a,b\\host.exe"));
}

TEST(AllowList, AProgramOpensOnlyTheChannelsListedForIt) {
  AllowList list;
  ASSERT_TRUE(list.Add("QrnCmd1,C:\\Apps\\Host.exe"));
  ASSERT_TRUE(list.Add("QrnDta1,C:\\Apps\\Other.exe"));
  EXPECT_TRUE(list.Permits("QrnCmd1", "c:\\apps\\host.EXE"));
  EXPECT_FALSE(list.Permits("QrnDta1", "C:\\Apps\\Host.exe"));
  EXPECT_FALSE(list.Permits("qrncmd1", "C:\\Apps\\Host.exe"));
  EXPECT_FALSE(list.Permits("QrnCmd1", "C:\\Apps\\Host.exe.bak"));
}

}  // namespace

}  // namespace vdqrn
