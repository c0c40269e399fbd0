// The diagnostic log cannot be written: its directory is missing, is a plain
// file, or the log's file name is taken by a directory. The driver answers
// every command exactly as it does with a log, in both modes.
#include <filesystem>
#include <fstream>

#include "channel_test_support.h"
#include "fault_support.h"

namespace {

namespace fs = std::filesystem;

enum class LogPlace { kWritable, kMissingDirectory, kDirectoryIsAFile, kLogNameIsADirectory };

struct LogCase {
  LogPlace place;
  std::uint16_t version;
};

std::string CaseName(const ::testing::TestParamInfo<LogCase>& info) {
  const char* place = "";
  switch (info.param.place) {
    case LogPlace::kWritable: place = "Writable"; break;
    case LogPlace::kMissingDirectory: place = "MissingDirectory"; break;
    case LogPlace::kDirectoryIsAFile: place = "DirectoryIsAFile"; break;
    case LogPlace::kLogNameIsADirectory: place = "LogNameIsADirectory"; break;
  }
  return std::string(place) + (info.param.version != 0 ? "HighPerformance" : "Normal");
}

class LogPlaces : public ::testing::TestWithParam<LogCase> {
 protected:
  // Prepares the temporary directory the module is given, faulty as the case asks.
  std::string PrepareTempDirectory() {
    const fs::path base = directory_.Path();
    switch (GetParam().place) {
      case LogPlace::kWritable:
        return base.string();
      case LogPlace::kMissingDirectory:
        return (base / "missing" / "deeper").string();
      case LogPlace::kDirectoryIsAFile: {
        std::ofstream(base / "plain-file") << "not a directory";
        return (base / "plain-file").string();
      }
      case LogPlace::kLogNameIsADirectory:
        fs::create_directory(engine_sim::ModuleLogPath(base.string()));
        return base.string();
    }
    return base.string();
  }

  TestDirectory directory_;
};

INSTANTIATE_TEST_SUITE_P(
    Faults, LogPlaces,
    ::testing::Values(LogCase{LogPlace::kWritable, 0}, LogCase{LogPlace::kWritable, 1},
                      LogCase{LogPlace::kMissingDirectory, 0},
                      LogCase{LogPlace::kMissingDirectory, 1},
                      LogCase{LogPlace::kDirectoryIsAFile, 0},
                      LogCase{LogPlace::kDirectoryIsAFile, 1},
                      LogCase{LogPlace::kLogNameIsADirectory, 0},
                      LogCase{LogPlace::kLogNameIsADirectory, 1}),
    CaseName);

TEST_P(LogPlaces, EveryCommandIsAnsweredAsWithALog) {
  const std::string temp = PrepareTempDirectory();
  engine_sim::SetModuleTempDirectory(temp);
  {
    engine_sim::Engine engine;
    ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();
    engine.SetWdVersion(GetParam().version);
    ASSERT_EQ(engine.Open(), 0);
    for (const Exchange& exchange : EveryFamilyWithSimspectro()) {
      engine.ClearSent();
      ASSERT_TRUE(engine.Write(engine_sim::kDataChannelName, exchange.command));
      engine.Poll();
      ASSERT_EQ(engine.Sent().size(), 1u) << exchange.command;
      EXPECT_EQ(engine.Sent()[0].bytes, exchange.response) << exchange.command;
    }
    EXPECT_EQ(engine.Poll(), 21);
    // The information procedures answer as well.
    EXPECT_EQ(engine.Info(48, "VDQRN").status, 0);
    EXPECT_EQ(engine.QueryInformation(0, 292).status, 0);
    EXPECT_EQ(engine.Close(), 0);
    EXPECT_EQ(engine.Unload(), 0);
    EXPECT_TRUE(engine.Violations().empty());
  }

  const fs::path base = directory_.Path();
  switch (GetParam().place) {
    case LogPlace::kWritable:
      EXPECT_GT(engine_sim::ReadModuleLogLines(temp).size(), EveryFamilyWithSimspectro().size());
      break;
    case LogPlace::kMissingDirectory:
      EXPECT_FALSE(fs::exists(base / "missing"));
      break;
    case LogPlace::kDirectoryIsAFile:
      EXPECT_TRUE(fs::is_regular_file(base / "plain-file"));
      EXPECT_EQ(fs::file_size(base / "plain-file"), 15u);
      break;
    case LogPlace::kLogNameIsADirectory:
      EXPECT_TRUE(fs::is_directory(engine_sim::ModuleLogPath(temp)));
      EXPECT_TRUE(fs::is_empty(engine_sim::ModuleLogPath(temp)));
      break;
  }
}

}  // namespace
