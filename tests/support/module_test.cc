#include "module_test.h"

namespace vdqrn {

std::string ModulePath() {
#if defined(_WIN32)
  return std::string(".\\") + VDQRN_MODULE_FILE;
#else
  return std::string("./") + VDQRN_MODULE_FILE;
#endif
}

void ModuleTest::SetUp() {
  engine_sim::SetModuleTempDirectory(directory_.Path());
  ASSERT_TRUE(engine_.LoadModule(ModulePath())) << engine_.LastError();
}

void ModuleTest::TearDown() {
  if (engine_.IsLoaded()) engine_.Unload();
  EXPECT_TRUE(engine_.Violations().empty()) << Quoted(engine_.Violations());
}

void ModuleTest::OpenWithVersion(std::uint16_t version) {
  engine_.SetWdVersion(version);
  ASSERT_EQ(engine_.Open(), 0);
}

std::vector<std::string> ModuleTest::LogLines() const {
  return engine_sim::ReadModuleLogLines(directory_.Path());
}

std::uint16_t ModuleTest::CommandChannel() const {
  return engine_.ChannelNumber(engine_sim::kCommandChannelName);
}

std::uint16_t ModuleTest::DataChannel() const {
  return engine_.ChannelNumber(engine_sim::kDataChannelName);
}

std::string ModeName(const ::testing::TestParamInfo<std::uint16_t>& mode) {
  return mode.param != 0 ? "HighPerformance" : "Normal";
}

}  // namespace vdqrn
