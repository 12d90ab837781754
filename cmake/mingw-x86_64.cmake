# The same sources as a 64-bit Windows build, for running the Windows tests
# under Wine on machines whose kernel runs no 32-bit programs.
set(FRAMELET_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
