# Cross build for 32-bit Windows with mingw-w64 (i686).
set(VDQRN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
# Tests run under 32-bit wine, with a prefix of their own inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
