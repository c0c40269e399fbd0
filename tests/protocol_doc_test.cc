// The protocol guide must document every command the interpreter answers.
#include <fstream>
#include <sstream>

#include "instrument/entry_points.h"
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

// Each entry point of the library appears as the call a command makes.
TEST_F(ProtocolGuide, NamesEveryLibraryEntryPoint) {
  std::ifstream file(VDQRN_SOURCE_DIR "/docs/protocol.md");
  std::stringstream guide;
  guide << file.rdbuf();
#define VDQRN_EXPECT_IN_GUIDE(name, result, parameters, arguments)   \
  EXPECT_NE(guide.str().find("`" #name "("), std::string::npos) \
      << "docs/protocol.md does not name the entry point " #name;
  VDQRN_ENTRY_POINTS(VDQRN_EXPECT_IN_GUIDE)
#undef VDQRN_EXPECT_IN_GUIDE
}

}  // namespace vdqrn
