// The protocol guide must document every command the interpreter answers.
#include <fstream>
#include <sstream>

#include "interpreter/instrument.h"
#include "log_test.h"

namespace vdqrn {

class ProtocolGuide : public LogTest {};

TEST_F(ProtocolGuide, HasARowForEveryCommand) {
  std::ifstream file(VDQRN_SOURCE_DIR "/docs/protocol.md");
  ASSERT_TRUE(file.good()) << "docs/protocol.md not found";
  std::stringstream guide;
  guide << file.rdbuf();

  std::vector<std::string> names = Instrument().CommandNames();
  names.push_back("Init");
  names.push_back("QuarnClientDriverVersion");
  for (const std::string& name : names) {
    EXPECT_NE(guide.str().find("| `" + name + "`"), std::string::npos)
        << "docs/protocol.md has no table row for " << name;
  }
}

}  // namespace vdqrn
