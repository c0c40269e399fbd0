// For a module that carries its own copy of the C++ runtime (Linux builds
// made with VDQRN_OWN_CXX_RUNTIME): that copy keeps a reserve for exceptions
// thrown when memory runs out and never gives it back, so each load and
// unload of the module would leak it. A module declares one
// CxxRuntimeRelease before its other statics; destroyed after them, at
// unload, it releases the reserve. Elsewhere it does nothing.
#pragma once

#if defined(VDQRN_OWN_CXX_RUNTIME)
namespace __gnu_cxx {
void __freeres();
}
#endif

namespace vdqrn::platform {

struct CxxRuntimeRelease {
  CxxRuntimeRelease() = default;
  CxxRuntimeRelease(const CxxRuntimeRelease&) = delete;
  CxxRuntimeRelease& operator=(const CxxRuntimeRelease&) = delete;
#if defined(VDQRN_OWN_CXX_RUNTIME)
  ~CxxRuntimeRelease() { __gnu_cxx::__freeres(); }
#endif
};

}  // namespace vdqrn::platform
