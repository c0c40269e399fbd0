// The tool's command line: defaults, both value forms, and every way to get
// it wrong.
#include "options.h"

#include <gtest/gtest.h>

namespace vdqrn {

namespace {

using engine_sim_cli::Channel;
using engine_sim_cli::ParsedOptions;
using engine_sim_cli::ParseOptions;

TEST(Options, NoArgumentsGiveTheDefaults) {
  const ParsedOptions parsed = ParseOptions({});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.module, "");
  EXPECT_EQ(parsed.options.script, "");
  EXPECT_EQ(parsed.options.channel, Channel::kCommand);
  EXPECT_FALSE(parsed.options.hpc);
  EXPECT_FALSE(parsed.options.log);
  EXPECT_FALSE(parsed.options.help);
}

TEST(Options, ValuesFollowAsNextArgumentOrAfterEquals) {
  const ParsedOptions parsed = ParseOptions(
      {"--module", "dir/VDQRN.DLL", "--script=a=b.txt", "--channel", "data", "--hpc", "--log"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.module, "dir/VDQRN.DLL");
  EXPECT_EQ(parsed.options.script, "a=b.txt");
  EXPECT_EQ(parsed.options.channel, Channel::kData);
  EXPECT_TRUE(parsed.options.hpc);
  EXPECT_TRUE(parsed.options.log);

  const ParsedOptions back = ParseOptions({"--channel=data", "--channel=command"});
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_EQ(back.options.channel, Channel::kCommand);
}

struct BadUse {
  std::vector<std::string> arguments;
  std::string error;
};

TEST(Options, BadUseIsRefusedWithItsReason) {
  const BadUse cases[] = {
      {{"--bogus"}, "unknown option \"--bogus\""},
      {{"-x"}, "unknown option \"-x\""},
      {{"session.txt"}, "unexpected argument \"session.txt\""},
      {{"--module"}, "option --module needs a value"},
      {{"--script="}, "option --script needs a value"},
      // An option where the value should be is not taken for the value.
      {{"--script", "--log"}, "option --script needs a value"},
      {{"--channel", "both"}, "option --channel takes \"command\" or \"data\", not \"both\""},
      {{"--channel", "Data"}, "option --channel takes \"command\" or \"data\", not \"Data\""},
      {{"--hpc=1"}, "option --hpc takes no value"},
      {{"--log", "--bogus", "--help"}, "unknown option \"--bogus\""},
  };
  for (const BadUse& use : cases) {
    const ParsedOptions parsed = ParseOptions(use.arguments);
    EXPECT_FALSE(parsed.ok) << use.arguments[0];
    EXPECT_EQ(parsed.error, use.error);
  }
}

}  // namespace

}  // namespace vdqrn
