# Shared by the mingw-w64 toolchain files, which set VDQRN_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first; one that brings compilers of its own (clang)
# sets them and VDQRN_MINGW_ROOT, the folder of the target's headers and
# libraries, too. Debian's -posix gcc compilers carry std::mutex and
# friends, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT VDQRN_MINGW_ROOT)
  set(CMAKE_C_COMPILER ${VDQRN_MINGW_TRIPLE}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${VDQRN_MINGW_TRIPLE}-g++-posix)
  set(CMAKE_RC_COMPILER ${VDQRN_MINGW_TRIPLE}-windres)
  set(VDQRN_MINGW_ROOT /usr/${VDQRN_MINGW_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH ${VDQRN_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Link the runtime in, so that every DLL and EXE runs with nothing beside it
# but the system's DLLs and its C runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
