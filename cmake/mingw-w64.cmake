# Cross build of the Windows executables with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix; the posix threads variant gives the tests
# std::thread):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
# Every program is linked statically (the C++ runtime and winpthreads
# included), so build-win/bin/pellomatic.exe needs nothing beyond a bare
# Windows (KERNEL32 and the system's C runtime, msvcrt.dll).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELLOMATIC_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${PELLOMATIC_MINGW_TRIPLE}-g++-posix
                                      ${PELLOMATIC_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${PELLOMATIC_MINGW_TRIPLE}-gcc-posix
                                    ${PELLOMATIC_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${PELLOMATIC_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW-w64 tree only; programs run on
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PELLOMATIC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Built programs run on this machine under Wine (tests and try_run).
find_program(PELLOMATIC_WINE NAMES wine wine64)
if(PELLOMATIC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLOMATIC_WINE})
endif()
