// The channel code linked into this test, driven through its Load procedure
// by the engine simulator, where the request handler's stored values can be
// read back. Its log goes to a directory of the test's own.
#include <memory>

#include "channel/engine_entry.h"
#include "channel/virtual_channel_ica.h"
#include "channel_test_support.h"
#include "diagnostics/log.h"
#include "platform/platform.h"

namespace {

std::unique_ptr<VirtualChannelICA> g_channel;

}  // namespace

// The in-process stand-in for the module's one request handler: a fresh one
// for every test.
VirtualChannelICA& GetVirtualChannel() {
  if (!g_channel) g_channel.reset(new VirtualChannelICA());
  return *g_channel;
}

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTempDirectoryForTesting(directory_.Path() + "/");
    diagnostics::ResetFirstOpenForTesting();
    g_channel.reset();
    ASSERT_TRUE(engine_.AttachModule(&Load)) << engine_.LastError();
  }
  void TearDown() override {
    engine_.Unload();
    g_channel.reset();
    platform::SetTempDirectoryForTesting("");
    EXPECT_TRUE(engine_.Violations().empty());
  }

  TestDirectory directory_;
  engine_sim::Engine engine_;
};

TEST_F(InProcess, MaximumWriteSizesReachTheHandlerLessOne) {
  engine_.SetMaximumWriteSize(100);
  ASSERT_EQ(engine_.Open(), 0);
  const VirtualChannelICA& channel = GetVirtualChannel();
  EXPECT_EQ(channel.GetCommandChannel(), engine_.ChannelNumber(kCommandChannelName));
  EXPECT_EQ(channel.GetCommandMaxWrite(), 99);
  EXPECT_EQ(channel.GetDataChannel(), engine_.ChannelNumber(kDataChannelName));
  EXPECT_EQ(channel.GetDataMaxWrite(), 99);
  EXPECT_FALSE(channel.IsHpc());

  // They only are recorded: a longer response goes out whole.
  ASSERT_TRUE(engine_.Write(kDataChannelName, std::string(150, 'z')));
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Sent().at(0).bytes.size(), 150u + 24u);
}

TEST_F(InProcess, RefusedWriteHookLeavesAMaximumWriteSizeOf0) {
  engine_.SetMaximumWriteSize(100);
  engine_.FailWriteHook(kDataChannelName, 42);
  ASSERT_EQ(engine_.Open(), 0);
  EXPECT_EQ(GetVirtualChannel().GetCommandMaxWrite(), 99);
  EXPECT_EQ(GetVirtualChannel().GetDataMaxWrite(), 0);
}

TEST_F(InProcess, EngineMaximumWriteSizeOf0StaysAt0) {
  engine_.SetMaximumWriteSize(0);
  ASSERT_EQ(engine_.Open(), 0);
  EXPECT_EQ(GetVirtualChannel().GetCommandMaxWrite(), 0);
  EXPECT_EQ(GetVirtualChannel().GetDataMaxWrite(), 0);
}

}  // namespace
