// What the support report says about the machine and the installed files,
// from the system itself. One implementation per system.
#pragma once

#include <cstdint>
#include <string>

namespace installation_check {

// The operating system's name and version, one line each.
std::string SystemDescription();

// A file's size, time of last change and (where the file carries one) its
// version record, on one line; "missing" when there is none.
std::string FileDescription(const std::string& path);

// The time of last change of a file, in seconds since 1970; 0 when unknown.
std::int64_t FileTime(const std::string& path);

}  // namespace installation_check
