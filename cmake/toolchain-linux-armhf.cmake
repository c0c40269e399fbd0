# Cross build of the 32-bit ARM Linux module, host, tools and tests (armhf:
# ARMv7, hard-float) with Debian's arm-linux-gnueabihf compilers, against
# Debian 11's C library for the glibc floor (glibc-floor.cmake). The tests
# run under qemu-arm with that folder's libraries.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VDQRN_COMPILER_PREFIX arm-linux-gnueabihf)
set(VDQRN_MULTIARCH arm-linux-gnueabihf)
set(VDQRN_SYSROOT_SET arm)
include(${CMAKE_CURRENT_LIST_DIR}/qemu-user.cmake)
