// Small text helpers shared by the simulated instrument's parts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace simspectro {

// True when both texts are equal, ignoring the case of ASCII letters.
bool EqualsIgnoreCase(std::string_view left, std::string_view right);

// The items joined by ';', the separator of every list the library returns.
std::string JoinList(const std::vector<std::string>& items);

}  // namespace simspectro
