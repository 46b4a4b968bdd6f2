# SPDX-License-Identifier: MIT
# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The executables are linked statically, so they run without any DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PSRATE_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES
  ${PSRATE_MINGW_PREFIX}-g++-posix ${PSRATE_MINGW_PREFIX}-g++-win32 ${PSRATE_MINGW_PREFIX}-g++
  REQUIRED)
# GoogleTest, compiled from source for the unit tests, is a C and C++ project.
find_program(CMAKE_C_COMPILER NAMES
  ${PSRATE_MINGW_PREFIX}-gcc-posix ${PSRATE_MINGW_PREFIX}-gcc-win32 ${PSRATE_MINGW_PREFIX}-gcc
  REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PSRATE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PSRATE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
