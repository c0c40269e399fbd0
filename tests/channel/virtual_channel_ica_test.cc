// VirtualChannelICA on its own: the request cycle and the pending response.
// Sending is exercised end to end through the module.
#include <memory>

#include "channel/virtual_channel_ica.h"
#include "module_test.h"
#include "diagnostics/log.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

class VirtualChannelICATest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTempDirectoryForTesting(directory_.Path() + "/");
    diagnostics::ResetFirstOpenForTesting();
    handler_.reset(new VirtualChannelICA());
  }
  void TearDown() override {
    handler_.reset();
    platform::SetTempDirectoryForTesting("");
  }
  std::vector<std::string> LogLines() const {
    return engine_sim::ReadModuleLogLines(directory_.Path());
  }

  TestDirectory directory_;
  std::unique_ptr<VirtualChannelICA> handler_;
};

TEST_F(VirtualChannelICATest, VersionKeywordMustBeTheWholeText) {
  EXPECT_EQ(handler_->Execute("QuarnClientDriverVersion"), "1.5.0");
  EXPECT_EQ(handler_->GetResponse(), "1.5.0");
  for (const char* text : {"QuarnClientDriverVersion|x|", "QuarnClientDriverVersion\n",
                           "QuarnClientDriverVersion ", "quarnClientDriverVersion"}) {
    const std::string response = handler_->Execute(text);
    EXPECT_EQ(response.rfind("ERROR|Unknown command", 0), 0u) << text;
    EXPECT_EQ(handler_->GetResponse(), response);
  }
}

TEST_F(VirtualChannelICATest, OnlyInterpretedCommandsLogTheirPendingResponse) {
  handler_->Execute("QuarnClientDriverVersion");
  handler_->Execute("Hello");
  const std::vector<std::string> lines =
      LinesFrom(LogLines(), "Virtual channel - Execute: \"QuarnClientDriverVersion\"");
  ASSERT_GE(lines.size(), 2u);
  // The keyword is answered without a further line.
  EXPECT_EQ(lines[1], "Virtual channel - Execute: \"Hello\"");
  EXPECT_EQ(lines.back(), "Virtual channel - Pending respone <-- \"OK|Hello\"");
}

TEST_F(VirtualChannelICATest, EmptyPendingResponseIsNoError) {
  EXPECT_FALSE(handler_->HasPendingResponse());
  EXPECT_EQ(handler_->GetResponse(), "");
  handler_->ClearResponse();
  EXPECT_FALSE(handler_->HasPendingResponse());
  EXPECT_EQ(handler_->SendResponse(), 21);
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), "GetResponse - No pending response"),
                       {"GetResponse - No pending response", "Clear response buffer",
                        "Virtual channel  - No pending response"}));

  handler_->Execute("Hello");
  EXPECT_EQ(handler_->GetResponse(), "OK|Hello");
  handler_->ClearResponse();
  EXPECT_FALSE(handler_->HasPendingResponse());
}

}  // namespace

}  // namespace vdqrn
