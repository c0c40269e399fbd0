#include <gtest/gtest.h>

#include "interpreter/result.h"

namespace vdqrn {

TEST(ResultText, TheFourResponseForms) {
  EXPECT_EQ(Result().ToString(), "OK");
  EXPECT_EQ(TextResult("").ToString(), "OK");
  EXPECT_EQ(ErrorResult("").ToString(), "ERROR");
  EXPECT_EQ(TextResult("12").ToString(), "OK|12");
  EXPECT_EQ(ErrorResult("Missing parameter").ToString(), "ERROR|Missing parameter");
  EXPECT_EQ(Result("Hello", true).ToString(), "OK|Hello");
}

TEST(ResultText, TextIsCopiedUnchangedSeparatorsIncluded) {
  EXPECT_EQ(TextResult("A|B").ToString(), "OK|A|B");
  EXPECT_EQ(TextResult(std::string("a\0b", 3)).ToString(), std::string("OK|a\0b", 6));
}

TEST(ResultText, BooleansAreSuccessfulTexts) {
  EXPECT_EQ(BoolResult(true).ToString(), "OK|true");
  EXPECT_EQ(BoolResult(false).ToString(), "OK|false");
  EXPECT_TRUE(BoolResult(false).IsSuccess());
  EXPECT_FALSE(ErrorResult("x").IsSuccess());
}

}  // namespace vdqrn
