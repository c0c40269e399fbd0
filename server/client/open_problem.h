// Why the channels did not open, in words an administrator can act on: for
// a refusal by the server's allow list, the entries to add for this
// program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"

namespace qrnclient {

// The allow-list entries that let the program open both channels:
// "QrnCmd1,{path}" and "QrnDta1,{path}".
std::vector<std::string> AllowListEntries(const std::string& programPath);

// The platform's error numbers an open fails with, whose advice differs.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorConnectionRefused = 1225;

// What to do about a channel that did not open for a reason other than the
// allow list, by the error number.
std::string OpenAdvice(std::uint32_t systemError);

// One paragraph, without a final line end.
std::string OpenProblem(const OpenResult& result, const std::string& programPath);

}  // namespace qrnclient
