# Shared by the two mingw-w64 toolchain files, which set VDQRN_MINGW_TRIPLE
# and CMAKE_SYSTEM_PROCESSOR first. The -posix compilers carry std::mutex and
# friends, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VDQRN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VDQRN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VDQRN_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VDQRN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Link the runtime in, so that every DLL and EXE runs with nothing beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
