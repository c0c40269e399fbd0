// The channel code linked into this test, driven through its Load procedure
// by the engine simulator, where VirtualChannelICA's stored values can be
// read back. Its log goes to a directory of the test's own.
#include "channel/virtual_channel_ica.h"
#include "module_test.h"
#include "in_process_channel.h"

namespace vdqrn {

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AttachInProcess(engine_, directory_.Path())) << engine_.LastError();
  }
  void TearDown() override {
    DetachInProcess(engine_);
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

}  // namespace vdqrn
