// The installer's edits of the client's module list (VirtualDriverEx).
#include "module_list.h"

#include <gtest/gtest.h>

namespace vdqrn {
namespace installer {
namespace {

TEST(ModuleList, AddAppendsOnceWhateverBlanksTheListHas) {
  EXPECT_EQ(AddModule("", "QRN"), "QRN");
  EXPECT_EQ(AddModule("  ", "QRN"), "QRN");
  EXPECT_EQ(AddModule(",", "QRN"), "QRN");
  EXPECT_EQ(AddModule("VDA", "QRN"), "VDA,QRN");
  EXPECT_EQ(AddModule("VDA,VDB", "QRN"), "VDA,VDB,QRN");
  EXPECT_EQ(AddModule("VDA, VDB ", "QRN"), "VDA, VDB,QRN");
  EXPECT_EQ(AddModule("VDA,VDB,", "QRN"), "VDA,VDB,QRN");
  EXPECT_EQ(AddModule("VDA , VDB , \t", "QRN"), "VDA , VDB,QRN");
}

TEST(ModuleList, AddLeavesAListThatNamesTheModuleAsItIs) {
  for (const char* list : {"QRN", "VDA,QRN", "VDA, QRN ,VDB", " qrn", "VDA,\tQrn\t"}) {
    EXPECT_EQ(AddModule(list, "QRN"), list);
  }
  EXPECT_EQ(AddModule(AddModule("VDA,VDB", "QRN"), "QRN"), "VDA,VDB,QRN");
}

TEST(ModuleList, AddDoesNotTakeAnotherModuleWhoseNameHoldsOursForOurs) {
  EXPECT_EQ(AddModule("QRNX,XQRN,Q RN", "QRN"), "QRNX,XQRN,Q RN,QRN");
}

TEST(ModuleList, RemoveTakesOnlyTheModule) {
  EXPECT_EQ(RemoveModule("QRN", "QRN"), "");
  EXPECT_EQ(RemoveModule("VDA,QRN", "QRN"), "VDA");
  EXPECT_EQ(RemoveModule("VDA, QRN ,VDB", "QRN"), "VDA,VDB");
  EXPECT_EQ(RemoveModule("QRN,VDA,VDB", "QRN"), "VDA,VDB");
  EXPECT_EQ(RemoveModule("VDA,qrn,VDB,QRN", "QRN"), "VDA,VDB");
  EXPECT_EQ(RemoveModule("VDA,QRNX,QRN", "QRN"), "VDA,QRNX");
}

TEST(ModuleList, RemoveLeavesAListWithoutTheModuleAsItIs) {
  for (const char* list : {"", " ", "VDA", "VDA, VDB ,", "QRNX,XQRN"}) {
    EXPECT_EQ(RemoveModule(list, "QRN"), list);
  }
}

TEST(ModuleList, AddThenRemoveGivesBackTheOtherModules) {
  EXPECT_EQ(RemoveModule(AddModule("VDA,VDB", "QRN"), "QRN"), "VDA,VDB");
  EXPECT_EQ(RemoveModule(AddModule("", "QRN"), "QRN"), "");
}

TEST(ModuleList, HasModule) {
  EXPECT_TRUE(ListHasModule("VDA, QRN", "QRN"));
  EXPECT_FALSE(ListHasModule("VDA,QRNX", "QRN"));
  EXPECT_FALSE(ListHasModule("", "QRN"));
}

}  // namespace
}  // namespace installer
}  // namespace vdqrn
