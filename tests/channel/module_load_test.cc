// Loading and unloading the built module: the Load export, the procedure
// table it hands over, and the log lines of VirtualChannelICA's life.
#include <fstream>
#include <regex>

#include "module_test.h"

namespace vdqrn {

namespace {

using engine_sim::Engine;

TEST(ModuleLoad, LoadFillsTheLinkRecordAndUnloadClearsIt) {
  TestDirectory directory;
  engine_sim::SetModuleTempDirectory(directory.Path());
  Engine engine;
  ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();
  EXPECT_EQ(engine.LoadStatus(), 0);
  EXPECT_EQ(engine.Link().usProcedureCount, 8);
  EXPECT_NE(engine.Link().pProcedureTable, nullptr);
  EXPECT_NE(engine.Link().pDriverRecord, nullptr);
  for (int i = 0; i < 8; ++i) EXPECT_NE(engine.Link().pProcedureTable[i], nullptr) << i;

  EXPECT_EQ(engine.Unload(), 0);
  EXPECT_EQ(engine.LinkAfterUnload().usProcedureCount, 0);
  EXPECT_EQ(engine.LinkAfterUnload().pProcedureTable, nullptr);
  EXPECT_EQ(engine.LinkAfterUnload().pDriverRecord, nullptr);
  EXPECT_TRUE(engine.Violations().empty());
}

TEST(ModuleLoad, LogRunsFromConstructionLineAtLoadToDestructionLineAtUnload) {
  TestDirectory directory;
  {
    // A log left by an earlier process is emptied by the module's first line.
    std::ofstream stale(engine_sim::ModuleLogPath(directory.Path()));
    stale << "left over\n";
  }
  engine_sim::SetModuleTempDirectory(directory.Path());
  Engine engine;
  ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();

  std::vector<std::string> lines = engine_sim::ReadModuleLogLines(directory.Path());
  ASSERT_EQ(lines.size(), 1u);
  const std::regex construction(
      R"(^\d\d\.\d\d\.\d{4} - \d\d:\d\d:\d\d  VirtualChannelICA \([A-Z][a-z]{2} [ 0-3]\d \d{4} - \d\d:\d\d:\d\d\)$)");
  EXPECT_TRUE(std::regex_match(lines[0], construction)) << lines[0];

  // Load writes nothing; the unload procedure neither.
  ASSERT_EQ(engine.Open(), 0);
  engine.Unload();
  lines = engine_sim::ReadModuleLogLines(directory.Path());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(LineMatches(lines[1], Stamped("ICA: Driver Open"))) << lines[1];
  EXPECT_TRUE(LineMatches(lines.back(), Stamped("~VirtualChannelICA"))) << lines.back();
  EXPECT_EQ(CountLines(lines, Stamped("~VirtualChannelICA")), 1);
}

TEST(ModuleLoad, UnloadWithALibraryLoadedAndAResponsePendingEndsTheLog) {
  TestDirectory directory;
  engine_sim::SetModuleTempDirectory(directory.Path());
  Engine engine;
  ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();
  ASSERT_EQ(engine.Open(), 0);
  ASSERT_TRUE(engine.Write(engine_sim::kDataChannelName, "Init|simspectro|"));
  ASSERT_TRUE(engine.Write(engine_sim::kDataChannelName, "Hello"));
  EXPECT_EQ(engine.Unload(), 0);
  const std::vector<std::string> lines = engine_sim::ReadModuleLogLines(directory.Path());
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(LineMatches(lines.back(), Stamped("~VirtualChannelICA"))) << lines.back();
}

}  // namespace

}  // namespace vdqrn
