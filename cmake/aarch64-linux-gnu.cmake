# Cross build for 64-bit ARM Linux (arm64: 64-bit Raspberry Pi OS) with
# Debian's g++-aarch64-linux-gnu; programs and tests run under qemu-aarch64:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-arm64 && ctest --test-dir build-arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PELLOMATIC_DEB_ARCH arm64)  # Debian's name of the architecture
set(PELLOMATIC_CROSS_TRIPLE aarch64-linux-gnu)
set(PELLOMATIC_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
