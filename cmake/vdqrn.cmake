# Helpers shared by the project's CMake files.

# Applies the project's warning set (warnings are errors) to a target.
function(vdqrn_warnings target)
  target_compile_options(${target} PRIVATE ${VDQRN_WARNINGS})
endfunction()

# On Linux, a target that goes to client machines carries its own C++ runtime
# (libstdc++), whose version may be newer than the machine's. Sanitizer builds
# keep the shared runtime their interceptors expect.
# VDQRN_OWN_CXX_RUNTIME tells the code that the runtime is its own copy.
function(vdqrn_own_cxx_runtime target)
  if(NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    target_link_options(${target} PRIVATE -static-libstdc++)
    target_compile_definitions(${target} PRIVATE VDQRN_OWN_CXX_RUNTIME)
  endif()
endfunction()

# A loadable library named exactly NAME.dll / NAME.so (no "lib" prefix), as the
# instrument libraries and the driver module are looked up by plain name.
function(vdqrn_plain_library_name target name)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  if(WIN32)
    set_target_properties(${target} PROPERTIES SUFFIX ".dll")
  else()
    set_target_properties(${target} PROPERTIES SUFFIX ".so")
  endif()
endfunction()

# Environment for tests: under wine a prefix inside the build folder and no
# debug chatter; under qemu-user the folder of the libraries (qemu-user.cmake).
set(VDQRN_TEST_ENV "")
if(WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(VDQRN_TEST_ENV "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDEBUG=-all")
endif()
if(VDQRN_QEMU_LD_PREFIX)
  set(VDQRN_TEST_ENV "QEMU_LD_PREFIX=${VDQRN_QEMU_LD_PREFIX}")
endif()

# The builds for client machines (glibc-floor.cmake): every binary gets what
# its static C++ runtime needs of a C library newer than glibc 2.17 from the
# platform layer's glibc_compat.c.
if(VDQRN_GLIBC_FLOOR)
  # The floor's flags are the cache's first values: a build folder
  # configured before they changed (or before the floor) keeps its old ones.
  string(FIND "${CMAKE_EXE_LINKER_FLAGS}" "${VDQRN_FLOOR_LINK_FLAGS}" at)
  if(at EQUAL -1 OR NOT CMAKE_CXX_FLAGS MATCHES "-nostdinc")
    message(FATAL_ERROR "${CMAKE_BINARY_DIR} was configured with other flags than the glibc "
      "floor's (cmake/glibc-floor.cmake): configure it afresh (cmake --preset ... --fresh)")
  endif()
  add_library(vdqrn_glibc_compat OBJECT ${PROJECT_SOURCE_DIR}/src/platform/glibc_compat.c)
  target_compile_options(vdqrn_glibc_compat PRIVATE -Wall -Wextra -Werror -Wpedantic -Wshadow
    -Wcast-align -Wformat=2)
  link_libraries(vdqrn_glibc_compat)
endif()

# A 32-bit Windows DLL of __stdcall functions exported by their plain names,
# as other languages and the platform's own DLLs look them up: the linker
# strips the decoration from the exports, and dlltool writes the import
# library from the .def (which lists the decorated names), since the
# linker's own would lose the names that C callers link against.
function(vdqrn_stdcall_exports target def dll)
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -D ${dll} -k -l $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()

# A shared library that must name every symbol it needs. Not in the fuzz
# build, whose sanitizer and coverage hooks live in the fuzzer executable
# that loads the library.
function(vdqrn_no_undefined target)
  if(NOT VDQRN_BUILD_FUZZERS)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# An import library for MSVC's linker (NAME.lib in the bin folder) from a
# .def, written by llvm-dlltool: the mingw linker's own (libNAME.dll.a) is
# for mingw. On 32-bit x86 the .def lists the decorated __stdcall names
# (_name@n, as MSVC callers refer to them) and the DLL exports them plain.
find_program(VDQRN_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
function(vdqrn_msvc_import_library target def)
  if(NOT VDQRN_LLVM_DLLTOOL)
    message(FATAL_ERROR "llvm-dlltool is needed for the MSVC import library of ${target}")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(options -m i386 -k)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(options -m arm64)
  else()
    set(options -m i386:x86-64)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VDQRN_LLVM_DLLTOOL} ${options} -d ${def} -l ${VDQRN_BIN_DIR}/${target}.lib
    BYPRODUCTS ${VDQRN_BIN_DIR}/${target}.lib
    VERBATIM)
endfunction()

# The instrument host's file name (no suffix), as platform::HostFileName
# gives it: by the build's width; on 64-bit ARM Windows QRNHOSTA64, since
# QRNHOST64.EXE is the x64 host shipped beside the arm64 module there.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VDQRN_HOST_BITS 32)
else()
  set(VDQRN_HOST_BITS 64)
endif()
if(WIN32 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(VDQRN_HOST_NAME QRNHOSTA64)
elseif(WIN32)
  set(VDQRN_HOST_NAME QRNHOST${VDQRN_HOST_BITS})
else()
  set(VDQRN_HOST_NAME qrnhost${VDQRN_HOST_BITS})
endif()
