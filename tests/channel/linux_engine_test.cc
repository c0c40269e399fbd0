// The module a Linux client loads, behind an engine simulator that plays the
// Linux engine: no module lookups, no version query and no high-performance
// properties (classes 86 and 92 do not exist there). The module opens both
// channels in normal mode, whatever version a winstation driver would report,
// and every response leaves at the engine's poll.
#include "module_test.h"

namespace vdqrn {

namespace {

using engine_sim::kDataChannelName;
using engine_sim::SendPath;
using engine_sim::WdCall;

class LinuxEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_sim::SetModuleTempDirectory(directory_.Path());
    engine_.SetLinuxEngine(true);
    // A Windows engine with this version would switch high-performance mode on.
    engine_.SetWdVersion(1);
    ASSERT_TRUE(engine_.LoadModule(std::string("./") + VDQRN_CLIENT_MODULE_FILE))
        << engine_.LastError();
    ASSERT_EQ(engine_.Open(), 0);
  }
  void TearDown() override {
    if (engine_.IsLoaded()) engine_.Unload();
    EXPECT_TRUE(engine_.Violations().empty()) << engine_.Violations().front();
  }
  std::vector<std::string> LogLines() const {
    return engine_sim::ReadModuleLogLines(directory_.Path());
  }

  TestDirectory directory_;
  engine_sim::Engine engine_;
};

TEST_F(LinuxEngine, OpensBothChannelsInNormalModeWithoutLookupsOrVersionQuery) {
  EXPECT_TRUE(engine_.LookedUpModules().empty());
  const std::vector<WdCall> expected = {{6, 33}, {7, 10}, {6, 33}, {7, 10}};
  EXPECT_EQ(engine_.WdCalls(), expected);
  EXPECT_TRUE(engine_.HpcPropertiesCalls().empty());
  EXPECT_EQ(engine_.OpenSizeValue(), sizeof(void*) == 8 ? 48 : 24);

  const std::string driver = PointerText(engine_.Driver());
  const std::string command = std::to_string(engine_.ChannelNumber("QrnCmd1"));
  const std::string data = std::to_string(engine_.ChannelNumber(kDataChannelName));
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: Driver Open")),
                       {Stamped("ICA: Driver Open"),
                        Stamped("ICA: Open command channel"),
                        Stamped("ICA: Open channel \"QrnCmd1\""),
                        "Registering write hook for channel number=" + command +
                            " vdwh.pVdData=" + driver,
                        "Command Channel successfully registered",
                        Stamped("ICA: Open data channel"),
                        Stamped("ICA: Open channel \"QrnDta1\""),
                        "Registering write hook for channel number=" + data +
                            " vdwh.pVdData=" + driver,
                        "Data Channel successfully registered (Channel nr: " + data + ")"}));
}

TEST_F(LinuxEngine, ResponsesWaitForThePollAndGoOutAsQueuedWrites) {
  ASSERT_TRUE(engine_.Write("QrnCmd1", "Init|simspectro|"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_EQ(engine_.Poll(), 0);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Connect"));
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Poll(), 21);

  ASSERT_EQ(engine_.Sent().size(), 2u);
  for (const engine_sim::SentData& sent : engine_.Sent()) {
    EXPECT_EQ(sent.path, SendPath::kQueuedWrite);
    EXPECT_EQ(sent.channel, engine_.ChannelNumber(kDataChannelName));
  }
  EXPECT_EQ(engine_.Sent()[0].bytes, "OK");
  EXPECT_EQ(engine_.Sent()[1].bytes, "OK|true");
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: SendData - Data available")),
                       {Stamped("ICA: SendData - Data available"),
                        "Virtual channel  - Pending response: \"OK\"",
                        "  Post response for sending",
                        "Response sent (\"OK\")",
                        "Clear response buffer",
                        Stamped("ICA: Data arrival"),
                        "Data (channel: " +
                            std::to_string(engine_.ChannelNumber(kDataChannelName)) +
                            ", size: 7): \"Connect\"",
                        "Virtual channel - Execute: \"Connect\"",
                        Stamped("Parameters of Connect"),
                        Stamped("Command Connect ()"),
                        "Virtual channel - Pending respone <-- \"OK|true\"",
                        "Response: \"OK|true\"",
                        Stamped("ICA: SendData - Data available"),
                        "Virtual channel  - Pending response: \"OK|true\"",
                        "  Post response for sending",
                        "Response sent (\"OK|true\")",
                        "Clear response buffer"}));
}

}  // namespace

}  // namespace vdqrn
