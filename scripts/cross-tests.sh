#!/usr/bin/env bash
# Builds the programs and the test suite for the Raspberry Pi's architectures
# with Debian's cross compilers and runs the whole suite under qemu-user:
#   bash scripts/cross-tests.sh arm64 armhf
# Each architecture builds in build-<arch>/ with warnings as errors and
# Debian's hardening flags, as its package is built (scripts/package-checks.sh
# makes the .deb in the same tree); not the benchmarks nor the fuzz targets.
# ctest starts every test program, and the tests start the utility and the
# emulator, through qemu.
# `--build-only` builds the trees and runs nothing (for builds that run beside
# another stage). Ends with each architecture's build and test times.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

run_tests=1
arches=()
for arg in "$@"; do
    case "$arg" in
        --build-only) run_tests= ;;
        arm64 | armhf) arches+=("$arg") ;;
        *) echo "cross-tests: unknown argument: $arg (arm64, armhf, --build-only)" >&2; exit 2 ;;
    esac
done
[ ${#arches[@]} -gt 0 ] || { echo "usage: cross-tests.sh [--build-only] arm64|armhf..." >&2; exit 2; }

bash scripts/install-deps.sh cross
# Debian's build flags with every hardening option (bind now included).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
jobs=$(nproc)
times=()
for arch in "${arches[@]}"; do
    case "$arch" in
        arm64) toolchain=cmake/aarch64-linux-gnu.cmake ;;
        armhf) toolchain=cmake/arm-linux-gnueabihf.cmake ;;
    esac
    echo "==== $arch: build"
    start=$SECONDS
    cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPELLOMATIC_WERROR=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="$(DEB_HOST_ARCH=$arch dpkg-buildflags --get CPPFLAGS) $(DEB_HOST_ARCH=$arch dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(DEB_HOST_ARCH=$arch dpkg-buildflags --get LDFLAGS)" >/dev/null
    cmake --build "build-$arch" -j "$jobs"
    times+=("$arch build $((SECONDS - start)) s")
    [ -n "$run_tests" ] || continue
    echo "==== $arch: the suite under qemu-user"
    start=$SECONDS
    ctest --test-dir "build-$arch" --output-on-failure -j "$jobs"
    times+=("$arch tests $((SECONDS - start)) s")
done
printf 'cross-tests: %s\n' "${times[@]}"
