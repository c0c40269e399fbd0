# Cross build of the 32-bit Linux module, tools and tests with Debian's
# i686-linux-gnu compilers, against Debian 11's C library for the glibc floor
# (glibc-floor.cmake). The programs run natively on machines whose kernel
# runs 32-bit code (scripts/test.sh checks first).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VDQRN_COMPILER_PREFIX i686-linux-gnu)
set(VDQRN_MULTIARCH i386-linux-gnu)
set(VDQRN_SYSROOT_SET x86)
include(${CMAKE_CURRENT_LIST_DIR}/glibc-floor.cmake)
# These machines run 32-bit x86 programs directly: tests run natively.
set(VDQRN_RUNS_NATIVELY ON)
