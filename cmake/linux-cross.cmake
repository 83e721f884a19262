# What the Linux cross builds share; cmake/aarch64-linux-gnu.cmake and
# cmake/arm-linux-gnueabihf.cmake set PELLOMATIC_CROSS_TRIPLE,
# PELLOMATIC_CROSS_QEMU and CMAKE_SYSTEM_PROCESSOR, then include this file.
# Debian's cross compilers (g++-<triple>) keep the target's C and C++
# libraries under /usr/<triple>.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_CXX_COMPILER NAMES ${PELLOMATIC_CROSS_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${PELLOMATIC_CROSS_TRIPLE}-gcc)

# Headers and libraries come from the target's tree only; programs run on
# the build machine.
set(PELLOMATIC_CROSS_ROOT /usr/${PELLOMATIC_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${PELLOMATIC_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's programs run here under qemu-user, which finds the target's
# dynamic loader and libraries in its root (-L). This machine registers no
# binary formats with the kernel, so every program of the build, the ones a
# test starts included, is started through this command.
find_program(PELLOMATIC_QEMU NAMES ${PELLOMATIC_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLOMATIC_QEMU} -L ${PELLOMATIC_CROSS_ROOT})
