// Edits the client's comma-separated list of custom modules (the registry
// value VirtualDriverEx): adds our module once, removes only our module, and
// leaves every other entry's text as it was.
#pragma once

#include <string>

namespace vdqrn {
namespace installer {

// Whether an entry of the list, blanks around it ignored and letters compared
// without case, is the module.
bool ListHasModule(const std::string& list, const std::string& module);

// The list with the module appended after a comma; the list unchanged when it
// already names the module. Blanks and commas at the list's end are dropped
// before the module is appended; an empty or blank list becomes the module.
std::string AddModule(const std::string& list, const std::string& module);

// The list without every entry that is the module (with the blanks around it
// and one comma); other entries keep their text and order. The list unchanged
// when it does not name the module.
std::string RemoveModule(const std::string& list, const std::string& module);

}  // namespace installer
}  // namespace vdqrn
