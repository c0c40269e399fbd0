// POSIX: the guarded call. A library built for this system needs no guard.
#include "platform/platform.h"

namespace vdqrn {
namespace platform {

// Exceptions of a library built for this system unwind through our frames
// like our own; there is nothing to catch here.
bool CallGuarded(GuardedProcedure call, void* context) {
  call(context);
  return true;
}
}  // namespace platform
}  // namespace vdqrn
