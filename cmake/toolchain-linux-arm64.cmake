# Cross build of the 64-bit ARM Linux module, host, tools and tests (arm64,
# AArch64) with Debian's aarch64-linux-gnu compilers, against Debian 11's C
# library for the glibc floor (glibc-floor.cmake). The tests run under
# qemu-aarch64 with that folder's libraries; the instrument host suite takes
# the 32-bit ARM host and libraries of the linux-armhf build.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VDQRN_COMPILER_PREFIX aarch64-linux-gnu)
set(VDQRN_MULTIARCH aarch64-linux-gnu)
set(VDQRN_SYSROOT_SET arm)
include(${CMAKE_CURRENT_LIST_DIR}/qemu-user.cmake)
