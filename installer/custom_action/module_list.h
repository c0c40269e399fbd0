// Edits the client's comma-separated list of custom modules (the registry
// value VirtualDriverEx): adds our module once, removes only our module, and
// leaves every other entry's text, blanks and commas as they were.
#pragma once

#include <string>

namespace vdqrn {
namespace installer {

// Whether an entry of the list, blanks around it ignored and letters compared
// without case, is the module.
bool ListHasModule(const std::wstring& list, const std::wstring& module);

// The list with ",module" inserted right after its last entry that is not
// blank (blanks and commas after that entry stay after it); the list
// unchanged when it already names the module. A list with no entry at all
// (empty, or only blanks and commas) becomes the module alone. RemoveModule
// undoes it byte for byte wherever the list had an entry.
std::wstring AddModule(const std::wstring& list, const std::wstring& module);

// The list without every entry that is the module (with the blanks around it
// and one comma: the one before it, or after it for the first entry); other
// entries keep their text and order. The list unchanged when it does not
// name the module.
std::wstring RemoveModule(const std::wstring& list, const std::wstring& module);

}  // namespace installer
}  // namespace vdqrn
