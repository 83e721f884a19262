#!/usr/bin/env bash
# Builds the packages and checks them without installing anything into the
# machine; arguments add the Raspberry Pi's architectures (arm64 armhf):
#   - build-pkg/: a Linux build with Debian's hardening flags, then
#     `cpack -G DEB` (arm64, armhf: in the cross build of
#     scripts/cross-tests.sh, which has the same flags, the .deb copied into
#     build-pkg/; its Architecture is the target's, its Depends name the
#     target's packages, no -cross one, and its programs run under qemu-user); lintian must report no error; the contents list must
#     hold the programs, the compressed pages, the examples and the copyright;
#     the package is unpacked into a temporary folder and its pellomatic is
#     run with `help` then `x` (summary printed, status 0); in a private
#     mount namespace, a link /dev/pellomatic/COM7 to the emulator makes the
#     packaged pellomatic reach it with `connect 7` and a download, and the packaged
#     pellomatic-ports list it;
#   - build-pkg-win/: the MinGW build, then `cpack -G ZIP`; the zip must hold
#     pellomatic.exe, README, the pages as text and the examples with CR LF;
#   - every manual page renders with no groff warning.
# Ends with "packages: ok" and the package sizes, or fails at the first
# problem.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh packaging
# Debian's build flags with every hardening option (bind now included).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all

echo "==== manual pages render without warnings"
for page in docs/man/*.[1-9]; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    if [ -n "$warnings" ]; then
        printf '%s: groff warns:\n%s\n' "$page" "$warnings" >&2
        exit 1
    fi
done

jobs=$(nproc)
fail() { echo "package-checks: $*" >&2; exit 1; }

# The Debian package of one architecture, built in build-pkg/ (amd64) or in
# the tree scripts/cross-tests.sh builds and tests (build-arm64/,
# build-armhf/: the same flags) and copied into build-pkg/; its programs run
# here directly (amd64) or under qemu-user.
check_deb() {
    local arch=$1 tree=build-pkg run=()
    case "$arch" in
        arm64) run=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
        armhf) run=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
    esac
    echo "==== Debian package, $arch"
    if [ "$arch" = amd64 ]; then
        cmake -S . -B build-pkg -DPELLOMATIC_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
            -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
        cmake --build build-pkg -j "$jobs"
    else
        tree=build-$arch
        bash scripts/cross-tests.sh --build-only "$arch"
    fi
    rm -f "$tree"/pellomatic_*.deb build-pkg/pellomatic_*_"$arch".deb
    (cd "$tree" && cpack -G DEB >/dev/null)
    local debs=("$tree"/pellomatic_*_"$arch".deb)
    deb=${debs[0]}
    [ -f "$deb" ] || fail "cpack made no .deb for $arch"
    mkdir -p build-pkg
    [ "$tree" = build-pkg ] || { cp "$deb" build-pkg/ && deb=build-pkg/$(basename "$deb"); }
    local report=build-pkg/$arch

    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$report-contents.txt"
    for path in /usr/bin/pellomatic /usr/bin/pellomatic-sim /usr/bin/pellomatic-ports \
        /usr/share/man/man1/pellomatic.1.gz /usr/share/man/man1/pellomatic-sim.1.gz \
        /usr/share/man/man1/pellomatic-ports.1.gz \
        /usr/share/man/man5/pellomatic.conf.5.gz /usr/share/man/man5/pellomatic.rules.5.gz \
        /usr/share/doc/pellomatic/copyright /usr/share/doc/pellomatic/changelog.gz \
        /usr/share/doc/pellomatic/README.md \
        /usr/share/doc/pellomatic/examples/pellomatic.conf \
        /usr/share/doc/pellomatic/examples/pellomatic.rules \
        /usr/share/doc/pellomatic/examples/firmware.hex; do
        grep -qxF "$path" "$report-contents.txt" || fail "$deb lacks $path"
    done
    dpkg-deb -f "$deb" Section | grep -qx hamradio || fail "section is not hamradio"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    grep -q 'libc6' <<<"$depends" || fail "no dependencies computed"
    # The names alone (no versions, alternatives one by one): none may be a
    # cross package or carry an architecture qualifier.
    sed -e 's/ *([^)]*)//g' -e 's/ *[,|] */\n/g' <<<"$depends" | grep -qE -- '-cross$|:' &&
        fail "$deb depends on a package of the build machine: $depends"

    echo "---- lintian"
    lintian --fail-on error --info "$deb" | tee "$report-lintian.txt"

    echo "---- the packaged utility, unpacked into a temporary folder"
    unpacked=$(mktemp -d)
    dpkg-deb -x "$deb" "$unpacked"
    local status=0
    printf 'help\nx\n' | timeout 30 "${run[@]}" "$unpacked/usr/bin/pellomatic" >"$unpacked/session.txt" ||
        status=$?
    [ "$status" -eq 0 ] || fail "pellomatic ended with status $status"
    grep -q 'Command Summary:' "$unpacked/session.txt" || fail "no command summary printed"
    [ "$(grep -c 'Command Summary:' "$unpacked/session.txt")" -eq 2 ] || fail "help printed no summary"
    "${run[@]}" "$unpacked/usr/bin/pellomatic-sim" --version |
        grep -qx "pellomatic-sim $(dpkg-deb -f "$deb" Version)" ||
        fail "pellomatic-sim --version does not show the package version"
    for page in "$unpacked"/usr/share/man/man*/*.gz; do
        warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
        [ -z "$warnings" ] || fail "$page: $warnings"
    done

    echo "---- COM7 as a udev link would give it, in a private mount namespace"
    # A tmpfs on /dev/pellomatic seen only inside the namespace holds the link
    # that pellomatic-ports' rule would make; the emulator's pseudo-terminal
    # stands in for the adapter. The folder is made for the mount when the
    # machine has none, and removed again.
    local made_dir=
    [ -d /dev/pellomatic ] || { mkdir /dev/pellomatic && made_dir=1; }
    status=0
    PELLO_UNPACKED=$unpacked PELLO_RUN="${run[*]}" unshare -m bash -euc '
        mount --make-rprivate /
        mount -t tmpfs pello /dev/pellomatic
        u=$PELLO_UNPACKED
        $PELLO_RUN "$u/usr/bin/pellomatic-sim" --link /dev/pellomatic/COM7 --out "$u/sim-out" \
            --quiet >"$u/sim.txt" 2>&1 </dev/null &
        sim=$!
        for ((i = 0; i < 3000; i++)); do [ -L /dev/pellomatic/COM7 ] && break; sleep 0.01; done
        ex=$u/usr/share/doc/pellomatic/examples
        printf "configure %s\nrules %s\nconnect 7\ndownload\ndisconnect\nx\n" \
            "$ex/pellomatic.conf" "$ex/pellomatic.rules" |
            timeout 60 $PELLO_RUN "$u/usr/bin/pellomatic" >"$u/com7.txt" || true
        $PELLO_RUN "$u/usr/bin/pellomatic-ports" >"$u/ports.txt" || true
        kill "$sim"
        wait "$sim" || true
    ' || status=$?
    [ -n "$made_dir" ] && rmdir /dev/pellomatic
    [ "$status" -eq 0 ] || fail "the private mount namespace could not be set up (status $status; root needed)"
    grep -qx $'\aConnected at 9600' "$unpacked/com7.txt" ||
        fail "connect 7 did not reach the emulator through /dev/pellomatic/COM7: $(cat "$unpacked/com7.txt")"
    grep -q '^Downloading Rules succeeded' "$unpacked/com7.txt" && [ -s "$unpacked/sim-out/rules.bin" ] ||
        fail "the download through COM7 did not complete: $(cat "$unpacked/com7.txt")"
    grep -qE '^COM7 +/dev/pellomatic/COM7 +/dev/pts/[0-9]+ +pty_slave' "$unpacked/ports.txt" ||
        fail "pellomatic-ports does not list COM7: $(cat "$unpacked/ports.txt")"
    sed 's/^/    /' "$unpacked/ports.txt"
    rm -rf "$unpacked"
    unpacked=
    built+=("$deb")
}

built=()
unpacked=
trap '[ -z "$unpacked" ] || rm -rf "$unpacked"' EXIT
arches=(amd64)
for arch in "$@"; do
    case "$arch" in
        arm64 | armhf) arches+=("$arch") ;;
        *) fail "unknown architecture: $arch (the cross packages are arm64 and armhf)" ;;
    esac
done
for arch in "${arches[@]}"; do
    check_deb "$arch"
done

echo "==== Windows zip"
cmake -S . -B build-pkg-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DPELLOMATIC_TESTS=OFF >/dev/null
cmake --build build-pkg-win -j "$jobs"
rm -f build-pkg-win/pellomatic-*.zip
(cd build-pkg-win && cpack -G ZIP >/dev/null)
zips=(build-pkg-win/pellomatic-*-win64.zip)
zip=${zips[0]}
[ -f "$zip" ] || fail "cpack made no zip"
top=$(basename "$zip" .zip)
unzip -Z1 "$zip" >build-pkg-win/contents.txt
for path in pellomatic.exe README.md examples/pellomatic.conf examples/pellomatic.rules \
    examples/firmware.hex doc/pellomatic.1.txt doc/pellomatic-sim.1.txt \
    doc/pellomatic.conf.5.txt doc/pellomatic.rules.5.txt; do
    grep -qxF "$top/$path" build-pkg-win/contents.txt || fail "$zip lacks $path"
done
for example in pellomatic.conf pellomatic.rules firmware.hex; do
    lines=$(unzip -p "$zip" "$top/examples/$example" | wc -l)
    crlf=$(unzip -p "$zip" "$top/examples/$example" | grep -c $'\r$' || true)
    [ "$lines" -gt 0 ] && [ "$lines" -eq "$crlf" ] || fail "examples/$example has lines without CR LF"
done
unzip -p "$zip" "$top/pellomatic.exe" | file - | grep -q 'PE32+ executable' ||
    fail "pellomatic.exe is not a Windows executable"

echo "packages: ok"
ls -l "${built[@]}" "$zip" | awk '{print "  " $5 " bytes  " $9}'
