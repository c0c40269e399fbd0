// The Windows error numbers the stand-in reports (see wfapi.h).
#pragma once

#include <cstdint>

namespace vdqrn {
namespace standin {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorBrokenPipe = 109;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorConnectionRefused = 1225;

}  // namespace standin
}  // namespace vdqrn
