# The same sources as a 64-bit Windows build: its tests keep our 64-bit
# plug-in ABI honest, and run alone where 32-bit programs cannot run.
set(FRAMELET_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
