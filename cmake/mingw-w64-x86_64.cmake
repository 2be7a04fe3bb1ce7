# Cross build of the Windows program with Debian's MinGW-w64 (64-bit, posix threads).
#
# The posix thread model gives std::thread, std::mutex and std::shared_mutex. Test
# programs run under Wine: ctest and gtest_discover_tests start every .exe through the
# emulator at the end.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VRN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VRN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VRN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VRN_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${VRN_MINGW_PREFIX}-dlltool)

# Headers and libraries come from the MinGW sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VRN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine through cmake/wine-run.sh (quiet, no prompts, a wineserver
# kept between programs).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
