# Cross build for 64-bit Windows with mingw-w64; the programs and tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUVO_MINGW_PREFIX x86_64-w64-mingw32)

# The posix thread model: std::thread, std::mutex and std::condition_variable work.
set(CMAKE_C_COMPILER ${QUVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable links the C and C++ runtimes and winpthread statically, so that
# Wine (or a Windows machine) needs no DLL from the tool chain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, quietly and without the prompts for Mono and Gecko.
# The Wine prefix lives in the build tree (scripts/test-windows.sh prepares it).
find_program(QUVO_WINE NAMES wine wine64 wine-stable)
if(QUVO_WINE)
  if(NOT DEFINED QUVO_WINEPREFIX)
    set(QUVO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=" "WINEPREFIX=${QUVO_WINEPREFIX}" ${QUVO_WINE})
endif()

# List the unit tests when ctest runs rather than right after the link: a build
# must never start Wine (its background processes would hold the build's pipes).
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
