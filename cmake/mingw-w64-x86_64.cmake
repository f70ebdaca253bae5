# Cross-builds tovrel.exe for 64-bit Windows with Debian's MinGW-w64 (POSIX
# threads flavour) and runs the built tests under Wine.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVREL_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TOVREL_MINGW_PREFIX}-gcc-posix ${TOVREL_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${TOVREL_MINGW_PREFIX}-g++-posix ${TOVREL_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${TOVREL_MINGW_PREFIX}-windres)

# Headers and libraries from the MinGW tree only; programs (python, wine)
# from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TOVREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, quietly, in a prefix of their own inside the
# build tree so that nothing outside it is touched. On Debian 12 the 64-bit
# loader is not on PATH.
find_program(TOVREL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TOVREL_WINE NAMES wine64 wine)
# env(1) replaces itself with Wine, so a signal sent to the test's child
# (SIGINT for Ctrl+C) reaches Wine; "cmake -E env" would swallow it.
find_program(TOVREL_ENV NAMES env)
if(TOVREL_WINE AND TOVREL_ENV)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${TOVREL_ENV} WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix ${TOVREL_WINE})
endif()
