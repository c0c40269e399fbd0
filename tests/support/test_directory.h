// A fresh directory of the test's own under the system's temporary folder,
// removed again when the object goes away.
#pragma once

#include <string>

namespace vdqrn {

class TestDirectory {
 public:
  TestDirectory();
  ~TestDirectory();
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;
  // Without a trailing separator.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vdqrn
