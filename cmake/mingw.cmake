# Cross toolchain for the Windows tree through MinGW-w64 (posix threads, which GoogleTest
# needs), run under Wine by CTest. MINGW_TRIPLET names the target: i686-w64-mingw32 for
# the product, x86_64-w64-mingw32 for the test tree of a machine that cannot run 32-bit
# programs (the same sources under 64-bit Wine).
set(MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "MinGW-w64 target: i686-w64-mingw32 or x86_64-w64-mingw32")
# The checks CMake compiles while configuring read this file again and need the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_TRIPLET)

# The Wine prefix a tree's programs run in follows from the target; the tree records it
# (cmake/target.cmake writes it to wine-arch) for the scripts that make and use prefixes.
if(MINGW_TRIPLET STREQUAL "i686-w64-mingw32")
  set(CMAKE_SYSTEM_PROCESSOR i686)
  set(SETUP32_WINE_ARCH win32)
elseif(MINGW_TRIPLET STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(SETUP32_WINE_ARCH win64)
else()
  message(FATAL_ERROR "MINGW_TRIPLET ${MINGW_TRIPLET}: expected i686-w64-mingw32 or x86_64-w64-mingw32")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
