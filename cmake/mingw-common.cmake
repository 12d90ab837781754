# Shared part of the MinGW-w64 cross toolchains; FRAMELET_MINGW_ARCH is set
# by the including toolchain file (i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${FRAMELET_MINGW_ARCH})
set(triplet ${FRAMELET_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

# Libraries that scripts/setup builds for this target live in this prefix.
if(NOT FRAMELET_DEPS)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(FRAMELET_DEPS "$ENV{XDG_CACHE_HOME}/framelet/${triplet}")
  else()
    set(FRAMELET_DEPS "$ENV{HOME}/.cache/framelet/${triplet}")
  endif()
endif()
set(FRAMELET_DEPS "${FRAMELET_DEPS}" CACHE PATH "prefix of the cross-built dependencies")

set(CMAKE_FIND_ROOT_PATH /usr/${triplet} "${FRAMELET_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# SSE2 arithmetic, so that double results (and their truncation) match the
# native x86-64 build bit for bit; x87 extended precision would not.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# No MinGW runtime DLLs beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib's static library, not its import library: a Windows machine has no
# zlib1.dll of its own (Wine ships one, which would hide the fault).
set(ZLIB_USE_STATIC_LIBS ON)
