# The product's build: the 32-bit Windows program (plug-ins are 32-bit).
set(FRAMELET_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
