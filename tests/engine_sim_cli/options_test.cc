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

TEST(Options, ListenTakesItsOwnOptions) {
  const ParsedOptions parsed =
      ParseOptions({"--listen", "[::1]:0", "--allow", "QrnCmd1,C:\\Apps\\host.exe",
                    "--allow=QrnDta1,/bin/h", "--no-driver", "--once", "--accept-remote",
                    "--ready-file", "ready.txt", "--hpc", "--idle-limit", "0"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.listen, "[::1]:0");
  EXPECT_EQ(parsed.options.allow,
            (std::vector<std::string>{"QrnCmd1,C:\\Apps\\host.exe", "QrnDta1,/bin/h"}));
  EXPECT_TRUE(parsed.options.noDriver);
  EXPECT_TRUE(parsed.options.once);
  EXPECT_TRUE(parsed.options.acceptRemote);
  EXPECT_EQ(parsed.options.readyFile, "ready.txt");
  EXPECT_TRUE(parsed.options.hpc);
  EXPECT_EQ(parsed.options.idleLimitSeconds, 0);
}

TEST(Options, ListenOptionsAreRefusedWhereTheyDoNotBelong) {
  const std::string needsListen =
      "options --allow, --no-driver, --driver-not-loaded, --keep-session, --poll, --once, "
      "--accept-remote, --ready-file and --idle-limit need --listen";
  const std::string noConversation =
      "option --listen takes its commands from the connection: leave out --check, --script and "
      "--log";
  const BadUse cases[] = {
      {{"--listen", "47120"}, "option --listen takes ADDRESS:PORT, not \"47120\""},
      {{"--listen", "host:70000"}, "option --listen takes ADDRESS:PORT, not \"host:70000\""},
      {{"--listen", "::1:5"}, "option --listen takes ADDRESS:PORT, not \"::1:5\""},
      {{"--listen", "h:1", "--allow", "QrnCmd1"},
       "option --allow takes \"CHANNEL,FULL-PATH\", not \"QrnCmd1\""},
      {{"--once"}, needsListen},
      {{"--no-driver"}, needsListen},
      {{"--allow", "QrnCmd1,/bin/h"}, needsListen},
      {{"--ready-file", "r"}, needsListen},
      {{"--accept-remote"}, needsListen},
      {{"--idle-limit", "60"}, needsListen},
      {{"--listen", "h:1", "--idle-limit", "soon"},
       "option --idle-limit takes seconds (0 to 86400), not \"soon\""},
      {{"--listen", "h:1", "--idle-limit", "86401"},
       "option --idle-limit takes seconds (0 to 86400), not \"86401\""},
      {{"--listen", "h:1", "--check"}, noConversation},
      {{"--listen", "h:1", "--script", "s.txt"}, noConversation},
      {{"--once=yes", "--listen", "h:1"}, "option --once takes no value"},
      {{"--keep-session"}, needsListen},
      {{"--driver-not-loaded"}, needsListen},
      {{"--poll", "100"}, needsListen},
      {{"--listen", "h:1", "--poll", "0"},
       "option --poll takes milliseconds (1 to 10000), not \"0\""},
      {{"--listen", "h:1", "--poll", "99999"},
       "option --poll takes milliseconds (1 to 10000), not \"99999\""},
      {{"--listen", "h:1", "--poll", "100", "--hpc"},
       "option --poll is normal mode's rule; with --hpc responses leave at once"},
      {{"--listen", "h:1", "--no-driver", "--driver-not-loaded"},
       "options --no-driver and --driver-not-loaded are two different clients: take one"},
      {{"--check", "--client", "/c", "--module", "m"},
       "options --client and --report check the module installed in the client: leave out "
       "--module"},
      {{"--report", "r.tar"}, "options --client and --report need --check"},
  };
  for (const BadUse& use : cases) {
    const ParsedOptions parsed = ParseOptions(use.arguments);
    EXPECT_FALSE(parsed.ok) << use.arguments[0];
    EXPECT_EQ(parsed.error, use.error);
  }
}

}  // namespace

}  // namespace vdqrn
