# The 64-bit x86 Linux build that goes into vdqrn-linux-x64.tar.gz: Debian's
# x86_64-linux-gnu compilers against Debian 11's C library, for the glibc
# floor (glibc-floor.cmake). The linux preset is the everyday native build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VDQRN_COMPILER_PREFIX x86_64-linux-gnu)
set(VDQRN_MULTIARCH x86_64-linux-gnu)
set(VDQRN_SYSROOT_SET x86)
include(${CMAKE_CURRENT_LIST_DIR}/glibc-floor.cmake)
# This machine runs them.
set(VDQRN_RUNS_NATIVELY ON)
