#include "test_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <system_error>

namespace vdqrn {

namespace fs = std::filesystem;

namespace {

// Read once, before any test points the temporary directory elsewhere.
const fs::path& BaseDirectory() {
  static const fs::path base = fs::temp_directory_path();
  return base;
}

}  // namespace

TestDirectory::TestDirectory() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::random_device random;
  std::ostringstream name;
  name << "vdqrn-test-" << (test != nullptr ? test->name() : "run") << "-" << std::hex << random()
       << random();
  std::string safe = name.str();
  for (char& c : safe) {
    if (c == '/') c = '-';
  }
  const fs::path path = BaseDirectory() / safe;
  fs::create_directories(path);
  path_ = path.string();
}

TestDirectory::~TestDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

}  // namespace vdqrn
