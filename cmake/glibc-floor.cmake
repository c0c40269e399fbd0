# Shared by the toolchain files of the Linux builds that go to client
# machines (linux-x64, linux-x86, linux-armhf, linux-arm64), which set first
#   VDQRN_COMPILER_PREFIX  the compilers' prefix (aarch64-linux-gnu, ...)
#   VDQRN_MULTIARCH        Debian's multiarch folder (i386-linux-gnu, ...)
#   VDQRN_SYSROOT_SET      the Debian 11 folder: x86 or arm (scripts/sysroot.sh)
#   CMAKE_SYSTEM_PROCESSOR
#
# The glibc floor: every binary of these builds (the shipped ones, and the
# tests and tools beside them) is compiled against Debian 11's C library
# headers and linked against its libraries (glibc 2.31, libgcc_s of gcc 10),
# never against this machine's, and carries its own C++ runtime (Debian 12's
# g++ 12, linked statically). What that runtime asks of a C library newer
# than glibc 2.17 comes from src/platform/glibc_compat.c (cmake/vdqrn.cmake
# links it into every binary), so that no binary needs a symbol version newer
# than GLIBC_2.17, nor GLIBCXX or CXXABI ones: scripts/check_packages.sh
# checks the packages. The development presets (linux, linux-asan,
# linux-fuzz) stay on this machine's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VDQRN_COMPILER_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VDQRN_COMPILER_PREFIX}-g++)

# The Debian 11 folder, made (and then kept) by scripts/sysroot.sh.
get_filename_component(VDQRN_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(VDQRN_SYSROOT ${VDQRN_SOURCE_ROOT}/build/debian11/${VDQRN_SYSROOT_SET})
if(NOT EXISTS ${VDQRN_SYSROOT}/.vdqrn-stamp)
  message(STATUS "Making the Debian 11 sysroot: scripts/sysroot.sh ${VDQRN_SYSROOT_SET}")
  execute_process(COMMAND ${VDQRN_SOURCE_ROOT}/scripts/sysroot.sh ${VDQRN_SYSROOT_SET}
    RESULT_VARIABLE made OUTPUT_QUIET)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "No Debian 11 sysroot at ${VDQRN_SYSROOT}: "
      "scripts/sysroot.sh ${VDQRN_SYSROOT_SET} could not make it (above)")
  endif()
endif()
set(CMAKE_SYSROOT ${VDQRN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Headers: the compiler's own (its C++ library's and its built-in ones), then
# the sysroot's C library. A cross compiler also searches the C library of
# its Debian 12 cross package (/usr/TRIPLE/include) before --sysroot's, so
# the standard folders are left out altogether (-nostdinc) and named here.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE searched)
string(REGEX MATCH "#include <\\.\\.\\.> search starts here:\n(.*)End of search list" searched
  "${searched}")
string(REGEX MATCHALL "[^\n ]+/c\\+\\+/[0-9][^\n]*" cxx_folders "${CMAKE_MATCH_1}")
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE compiler_folder OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT cxx_folders OR NOT IS_DIRECTORY "${compiler_folder}")
  message(FATAL_ERROR "Cannot tell ${CMAKE_CXX_COMPILER}'s header folders: is it installed?")
endif()
set(c_headers "-nostdinc -isystem ${compiler_folder}")
foreach(folder usr/include/${VDQRN_MULTIARCH} usr/include)
  string(APPEND c_headers " -isystem ${VDQRN_SYSROOT}/${folder}")
endforeach()
set(cxx_headers "")
foreach(folder ${cxx_folders})
  string(APPEND cxx_headers " -isystem ${folder}")
endforeach()
set(CMAKE_C_FLAGS_INIT "${c_headers}")
set(CMAKE_CXX_FLAGS_INIT "${cxx_headers} ${c_headers}")

# Libraries: the sysroot's before the compiler's (its start files too, -B),
# the C++ runtime linked in, and the symbols glibc_compat.c answers sent
# there.
set(lib ${VDQRN_SYSROOT}/lib/${VDQRN_MULTIARCH})
set(usrlib ${VDQRN_SYSROOT}/usr/lib/${VDQRN_MULTIARCH})
set(link "-B${usrlib}/ -L${lib} -L${usrlib} -Wl,-rpath-link,${lib}:${usrlib} -static-libstdc++")
string(APPEND link " -Wl,--wrap=getentropy,--wrap=arc4random,--wrap=pthread_cond_clockwait,--wrap=fcntl")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link}")
# A library exports none of the runtime it carries: each binary's copy keeps
# to itself. On 32-bit ARM an exception leaving a cleanup is handed from
# __cxa_begin_cleanup to __cxa_end_cleanup through that copy's globals; an
# exported copy can be swapped for another binary's half-way (measured: the
# test libraries' exceptions ended in "terminate called without an active
# exception").
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link} -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link} -Wl,--exclude-libs,ALL")
# The static C++ runtime once more at the end, then the thread and loader
# libraries: otherwise its references to pthread_once and the like stay
# unversioned and fail to resolve when the binary loads.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,-Bstatic -lstdc++ -Wl,-Bdynamic -ldl -lpthread")
set(VDQRN_GLIBC_FLOOR ON)
# What cmake/vdqrn.cmake checks that the build folder was configured with.
set(VDQRN_FLOOR_LINK_FLAGS "${link}")
