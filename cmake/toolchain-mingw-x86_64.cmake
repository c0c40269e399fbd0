# Cross build for 64-bit Windows with mingw-w64 (x86_64).
set(VDQRN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
# Tests run under wine64, with a prefix of their own inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
