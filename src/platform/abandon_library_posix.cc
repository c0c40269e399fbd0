// POSIX: no library call is ever cut short (CallGuarded is a plain call), so
// no library is ever abandoned.
#include "platform/platform.h"

namespace vdqrn {
namespace platform {

bool AbandonLibrary(LibraryHandle) { return true; }

bool LibraryWasAbandoned(LibraryHandle) { return false; }

bool LibraryImportsResolved(LibraryHandle) { return true; }

}  // namespace platform
}  // namespace vdqrn
