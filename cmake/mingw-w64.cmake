# Cross-compiling for 64-bit Windows with MinGW-w64; the programs built run
# under Wine on the build machine (tests, test discovery).
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# The posix-thread variants of the compilers are required: with the
# win32-thread ones std::mutex is missing and GoogleTest does not build.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QS_MINGW_TRIPLE}-windres)
# The message compiler of the MinGW binutils, for the service's message
# table.
set(QS_WINDMC ${QS_MINGW_TRIPLE}-windmc)

# One self-contained executable each: no MinGW runtime DLLs to ship or to
# find under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the built programs. Debian keeps the 64-bit loader outside PATH.
find_program(QS_WINE64 NAMES wine64 wine HINTS /usr/lib/wine
             DOC "Wine loader that runs the Windows programs built here")
if(QS_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QS_WINE64})
endif()
