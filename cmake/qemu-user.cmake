# Shared by the ARM toolchain files: the glibc floor, and the tests run under
# qemu-user (qemu-arm, qemu-aarch64) with the Debian 11 folder as the root of
# the libraries they load (-L). QEMU_LD_PREFIX in the tests' environment
# gives a program they start (an instrument host) the same folder, where the
# system runs it through an emulator registered with binfmt_misc
# (scripts/test.sh, as root).
include(${CMAKE_CURRENT_LIST_DIR}/glibc-floor.cmake)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  set(VDQRN_QEMU qemu-aarch64)
else()
  set(VDQRN_QEMU qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${VDQRN_QEMU} -L ${VDQRN_SYSROOT})
set(VDQRN_QEMU_LD_PREFIX ${VDQRN_SYSROOT})
