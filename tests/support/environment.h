// An environment variable of the test's own process, as the processes it
// starts (instrument hosts among them) inherit it.
#pragma once

#include <string>

namespace vdqrn {

// Sets the variable, or removes it when the value is empty: in the C
// runtime's copy and (Windows) the system's, which a started process gets.
void SetVariable(const char* name, const std::string& value);

}  // namespace vdqrn
