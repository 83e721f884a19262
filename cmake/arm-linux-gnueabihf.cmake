# Cross build for 32-bit ARM Linux with hardware floating point (armhf:
# 32-bit Raspberry Pi OS) with Debian's g++-arm-linux-gnueabihf; programs and
# tests run under qemu-arm:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build-armhf && ctest --test-dir build-armhf
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PELLOMATIC_DEB_ARCH armhf)  # Debian's name of the architecture
set(PELLOMATIC_CROSS_TRIPLE arm-linux-gnueabihf)
set(PELLOMATIC_CROSS_QEMU qemu-arm)

# time_t and file offsets of 64 bits. The programs keep times past 2038
# (deadlines on the monotonic clock, file times) and read files of any size,
# as on the 64-bit targets. glibc has had the 64-bit entry points since 2.34,
# so the same package runs on Debian bookworm's armhf (2.36, whose own
# libraries still use a 32-bit time_t) and on trixie's, which moved to 64
# bits. No time_t or off_t crosses into a library other than glibc: the C++
# library's interfaces carry std::chrono types, and what its headers inline
# (condition variables, sleeps) is compiled here with these settings.
# Every target gets them, GoogleTest's (compiled from its sources) too.
set(PELLOMATIC_TARGET_DEFINITIONS _TIME_BITS=64 _FILE_OFFSET_BITS=64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
