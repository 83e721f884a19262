#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the utility,
# with apt-get, and only what is missing. Arguments name extra needs:
#   tests   GoogleTest and Google Benchmark
#   checks  clang, clang-tidy, cppcheck and the sanitizer/fuzzer runtimes
#   packaging  what the packages and their checks need: dpkg-dev (shlibdeps),
#           lintian, groff, file, zip/unzip and the MinGW-w64 cross compiler
#   bench   strace, which counts the system calls of the benchmarks
#   drivers QEMU, a static busybox and the libraries of Debian's udev for the
#           checks on real serial drivers (the guest's kernel and udev are
#           fetched by scripts/driver-tests.sh itself)
#   cross   Debian's cross compilers for arm64 and armhf (with each target's C
#           and C++ libraries), qemu-user that runs their programs,
#           GoogleTest's sources, which the cross builds compile for the target,
#           and dpkg-dev (the packages' build flags)
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
want() { have_pkg "$1" || need+=("$1"); }

want cmake
want g++
want make
for extra in "$@"; do
  case "$extra" in
    tests) want libgtest-dev; want libbenchmark-dev; want binutils ;;
    checks) want clang; want clang-tidy; want clang-format; want cppcheck; want libclang-rt-14-dev ;;
    packaging) want dpkg-dev; want lintian; want groff-base; want file; want zip; want unzip
               want g++-mingw-w64-x86-64-posix ;;
    bench) want strace ;;
    cross) want g++-aarch64-linux-gnu; want g++-arm-linux-gnueabihf; want qemu-user
           want googletest; want dpkg-dev ;;
    drivers) want qemu-system-x86; want busybox-static
             # The libraries of Debian's udev daemon, copied into the guest.
             for lib in libacl1 libblkid1 libcap2 libkmod2 liblzma5 libpcre2-8-0 libselinux1 \
                 libssl3 libzstd1; do want "$lib"; done ;;
    *) echo "install-deps: unknown need: $extra" >&2; exit 2 ;;
  esac
done

if [ ${#need[@]} -gt 0 ]; then
  echo "install-deps: installing ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
