# Cross build for 64-bit ARM Windows (aarch64-w64-mingw32) with the clang
# toolchain scripts/toolchain_arm64.sh makes from Debian's packages: clang-14
# and lld-14, the mingw-w64 runtime on the UCRT, and a static libc++ and
# libunwind. The toolchain's folder is VDQRN_ARM64_TOOLCHAIN (the cache
# variable, or the environment variable of that name), else the one the
# script made last (the toolchain-arm64 link in its cache folder).
set(VDQRN_MINGW_TRIPLE aarch64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT VDQRN_ARM64_TOOLCHAIN)
  if(DEFINED ENV{VDQRN_ARM64_TOOLCHAIN})
    set(VDQRN_ARM64_TOOLCHAIN $ENV{VDQRN_ARM64_TOOLCHAIN})
  elseif(DEFINED ENV{VDQRN_CACHE})
    set(VDQRN_ARM64_TOOLCHAIN $ENV{VDQRN_CACHE}/toolchain-arm64)
  else()
    set(VDQRN_ARM64_TOOLCHAIN /var/cache/vdqrn/toolchain-arm64)
  endif()
endif()
# The link's target, so that a later toolchain does not change this build
# folder's compilers behind its back.
file(REAL_PATH ${VDQRN_ARM64_TOOLCHAIN} VDQRN_ARM64_TOOLCHAIN)
set(VDQRN_ARM64_TOOLCHAIN ${VDQRN_ARM64_TOOLCHAIN} CACHE PATH
  "The aarch64-w64-mingw32 toolchain (scripts/toolchain_arm64.sh prints it)")
set(tools ${VDQRN_ARM64_TOOLCHAIN}/bin/${VDQRN_MINGW_TRIPLE})
if(NOT EXISTS ${tools}-clang++)
  message(FATAL_ERROR "No aarch64-w64-mingw32 toolchain in ${VDQRN_ARM64_TOOLCHAIN}: "
    "run scripts/toolchain_arm64.sh (or set VDQRN_ARM64_TOOLCHAIN to the folder it printed)")
endif()
set(CMAKE_C_COMPILER ${tools}-clang)
set(CMAKE_CXX_COMPILER ${tools}-clang++)
set(CMAKE_RC_COMPILER ${tools}-windres)
set(CMAKE_AR ${tools}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${tools}-ranlib CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${tools}-dlltool CACHE FILEPATH "")
# The C++ runtime (libc++, libc++abi, libunwind) and compiler-rt's builtins
# are static libraries there: linked in like the rest of the runtime.
set(VDQRN_MINGW_ROOT ${VDQRN_ARM64_TOOLCHAIN}/${VDQRN_MINGW_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
# Tests run under arm64 wine in an arm64 Debian system under qemu
# (scripts/wine_arm64.sh run), where that script is there; without it they
# are built only. VDQRN_ARM64_RUNNER names another runner of the same
# interface. The runner stops a program after 590 s, before ctest's 600 s
# would: it ends wine's whole process group, which ctest cannot.
if(NOT VDQRN_ARM64_RUNNER)
  get_filename_component(VDQRN_ARM64_RUNNER ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_arm64.sh
    ABSOLUTE)
endif()
set(VDQRN_ARM64_RUNNER ${VDQRN_ARM64_RUNNER} CACHE FILEPATH
  "What runs an arm64 Windows program here: RUNNER run --timeout SECONDS -- PROGRAM ARGS...")
if(EXISTS ${VDQRN_ARM64_RUNNER})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VDQRN_ARM64_RUNNER} run --timeout 590 --)
endif()
