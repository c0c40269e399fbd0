// The installer's edits of the client's module list (VirtualDriverEx).
#include "module_list.h"

#include <gtest/gtest.h>

namespace vdqrn {
namespace installer {
namespace {

TEST(ModuleList, AddInsertsAfterTheLastEntryKeepingWhatFollowsIt) {
  EXPECT_EQ(AddModule(L"VDA", L"QRN"), L"VDA,QRN");
  EXPECT_EQ(AddModule(L"VDA,VDB", L"QRN"), L"VDA,VDB,QRN");
  EXPECT_EQ(AddModule(L"VDA, VDB ", L"QRN"), L"VDA, VDB ,QRN");
  EXPECT_EQ(AddModule(L"VDA,VDB,", L"QRN"), L"VDA,VDB,QRN,");
  EXPECT_EQ(AddModule(L"VDA , VDB , \t", L"QRN"), L"VDA , VDB ,QRN, \t");
  EXPECT_EQ(AddModule(L",,VDA", L"QRN"), L",,VDA,QRN");
}

TEST(ModuleList, AListWithoutEntriesBecomesTheModule) {
  for (const wchar_t* list : {L"", L"  ", L",", L" , "}) EXPECT_EQ(AddModule(list, L"QRN"), L"QRN");
}

TEST(ModuleList, RemoveUndoesAddByteForByte) {
  for (const wchar_t* list : {L"VDA", L"VDA,VDB", L"VDA, VDB ", L"VDA,VDB,", L"VDA , VDB , \t",
                              L",,VDA", L" VDA", L"VDA,,VDB", L"V\u00e9A,\u4e2d\u6587"}) {
    EXPECT_EQ(RemoveModule(AddModule(list, L"QRN"), L"QRN"), list);
  }
  EXPECT_EQ(RemoveModule(AddModule(L"", L"QRN"), L"QRN"), L"");
}

TEST(ModuleList, AddLeavesAListThatNamesTheModuleAsItIs) {
  for (const wchar_t* list : {L"QRN", L"VDA,QRN", L"VDA, QRN ,VDB", L" qrn", L"VDA,\tQrn\t"}) {
    EXPECT_EQ(AddModule(list, L"QRN"), list);
  }
  EXPECT_EQ(AddModule(AddModule(L"VDA,VDB", L"QRN"), L"QRN"), L"VDA,VDB,QRN");
}

TEST(ModuleList, AddDoesNotTakeAnotherModuleWhoseNameHoldsOursForOurs) {
  EXPECT_EQ(AddModule(L"QRNX,XQRN,Q RN", L"QRN"), L"QRNX,XQRN,Q RN,QRN");
}

TEST(ModuleList, RemoveTakesOnlyTheModuleAndOneComma) {
  EXPECT_EQ(RemoveModule(L"QRN", L"QRN"), L"");
  EXPECT_EQ(RemoveModule(L"VDA,QRN", L"QRN"), L"VDA");
  EXPECT_EQ(RemoveModule(L"VDA, QRN ,VDB", L"QRN"), L"VDA,VDB");
  EXPECT_EQ(RemoveModule(L"QRN,VDA,VDB", L"QRN"), L"VDA,VDB");
  EXPECT_EQ(RemoveModule(L"VDA,qrn,VDB,QRN", L"QRN"), L"VDA,VDB");
  EXPECT_EQ(RemoveModule(L"VDA,QRNX,QRN", L"QRN"), L"VDA,QRNX");
}

TEST(ModuleList, RemoveLeavesAListWithoutTheModuleAsItIs) {
  for (const wchar_t* list : {L"", L" ", L"VDA", L"VDA, VDB ,", L"QRNX,XQRN"}) {
    EXPECT_EQ(RemoveModule(list, L"QRN"), list);
  }
}

TEST(ModuleList, HasModule) {
  EXPECT_TRUE(ListHasModule(L"VDA, QRN", L"QRN"));
  EXPECT_FALSE(ListHasModule(L"VDA,QRNX", L"QRN"));
  EXPECT_FALSE(ListHasModule(L"", L"QRN"));
}

}  // namespace
}  // namespace installer
}  // namespace vdqrn
