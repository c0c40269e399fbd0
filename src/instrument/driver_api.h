// The instrument driver library's binary contract: the 31 entry points it
// exports under plain C names (entry_points.h), with their argument and
// result types. Texts
// are NUL-terminated single-byte strings; a returned text belongs to the
// library and stays valid at least until the next call into it. On 32-bit
// Windows every entry point is __stdcall (callee cleans the stack).
#pragma once

#include <cstdint>

#include "instrument/entry_points.h"

namespace vdqrn {

#if defined(_WIN32) && !defined(_WIN64)
#define SPECTRO_CALL __stdcall
#else
#define SPECTRO_CALL
#endif

namespace driver_api {

// One pointer type per entry point, named like it: driver_api::Connect is
// bool (*)(), driver_api::SetLanguage is bool (*)(std::uint16_t), ...
#define VDQRN_ENTRY_POINT_TYPE(name, result, parameters, arguments) \
  using name = result(SPECTRO_CALL*) parameters;
VDQRN_ENTRY_POINTS(VDQRN_ENTRY_POINT_TYPE)
#undef VDQRN_ENTRY_POINT_TYPE

}  // namespace driver_api

}  // namespace vdqrn
