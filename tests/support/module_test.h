// The built driver module behind the engine simulator, with its log in a
// directory of the test's own; the names of the two modes for parameterised
// tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "log_lines.h"
#include "test_directory.h"

namespace vdqrn {

// The built driver module's path in the current (the binaries') directory.
std::string ModulePath();

// The built driver module, loaded through the engine simulator with its log
// in a directory of the test's own.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Scripts the winstation driver's version and opens the module; expects 0.
  void OpenWithVersion(std::uint16_t version);
  std::vector<std::string> LogLines() const;
  std::uint16_t CommandChannel() const;
  std::uint16_t DataChannel() const;

  TestDirectory directory_;
  engine_sim::Engine engine_;
};

// "Normal" for version 0, "HighPerformance" for any other: the winstation
// driver's version decides the mode.
std::string ModeName(const ::testing::TestParamInfo<std::uint16_t>& mode);

}  // namespace vdqrn
