#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks run through verdict, the EXIT trap's command is a string
# The utility on the kernel's own serial drivers: a QEMU guest (TCG, no KVM
# needed) runs the Debian kernel's 8250 UART driver (/dev/ttyS1, COM1 in the
# guest) and its FTDI USB-serial driver (/dev/ttyUSB0, COM2), with a device
# emulator on the host side of each line. The guest's /init
# (tests/drivers/guest-init.sh) runs the sessions; this script answers its
# requests (the "@@" protocol, written down at the top of guest-init.sh:
# power, pulling the adapter, resuming a stalled line) and checks:
#   1. a whole operator session on each driver: transcript and what the
#      emulator received equal those of the same session over a
#      pseudo-terminal;
#   2. DTR and RTS low and the low-latency flag set while connected, line
#      settings and flag back as found after the close, a second open (as a
#      user who is not root) refused;
#   3. 14400 and 56000 accepted on both drivers, with what each reports;
#   4. the 8250 line stalled mid-download: the write ends at its bound with
#      the short-write message and -3, nothing stale follows, the next
#      command works;
#   5. the adapter pulled out mid-download and mid-firmware-update: the
#      hang-up path (status 3, both lines on standard error) in time;
#   6. SIGQUIT (Ctrl-\) while the utility holds the 8250 line: the line
#      settings and the low-latency flag back as found, and a second open
#      (as a user who is not root) served;
#   7. Debian's own udev daemon in the guest: `pellomatic-ports assign 3`
#      gives the FTDI adapter the link /dev/pellomatic/COM3, a whole session
#      on `connect 3` works (the utility with the package's templates), the
#      link goes when the adapter is pulled out and comes back when it is
#      plugged in, and the next session works; pellomatic-ports lists the
#      8250 UART and the adapter with their COM numbers.
# Ends with "N passed, N failed". When QEMU cannot run it says so in one line
# and fails.
#
#   scripts/driver-tests.sh            (PELLO_DRIVER_BUILD: the build tree)
#
# Each step handles its own failure where it happens, so that the run always
# ends with its count: the script runs without errexit. Each check runs in a
# subshell with errexit, and one that meets a command failing where it does
# not expect it fails, naming the command.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELLO_DRIVER_BUILD:-$root/build-drivers}
run=$build/run
kdir=$build/kernel
static=$build/static
bin=$static/bin
udir=$build/udev
started=$SECONDS
# The kernel whose drivers are tried; when the archive no longer has it, the
# newest 6.1 kernel it has.
kernel_pin=linux-image-6.1.0-57-amd64
# Generous outer limits of the waits: a stalled step ends the run, not CI.
boot_limit=300
line_limit=60
# The emulated FTDI adapter, with a serial number of its own as a real one
# has: QEMU's default is made of the USB port, which a plug after a pull may
# change (the udev rule of pellomatic-ports is keyed to it).
usb_adapter=usb-serial,chardev=u0,id=usbser,serial=PELLO001
bel=$'\a'
operator_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nfirmware 1 examples/firmware.hex\ny\n\nx\n'
udev_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nx\n'

# The tally of the checks (verdict, judge_boot, cannot), printed by finish.
passed=0
failed=0
note() { printf '%s\n' "$*"; }
finish() {
    note "driver tests took $((SECONDS - started))s"
    note "$passed passed, $failed failed"
    ((failed == 0))
    exit
}
cannot() {
    note "QEMU cannot run the driver tests: $*"
    failed=$((failed + 1))
    finish
}

# The processes the EXIT trap ends: each one started is added, each one
# waited for is taken out.
children=()
forget() {  # PID...: no longer the trap's to end
    local pid gone keep=()
    for pid in "${children[@]}"; do
        for gone; do [ "$pid" = "$gone" ] && continue 2; done
        keep+=("$pid")
    done
    children=("${keep[@]}")
}
end_processes() {  # PID...: ended (SIGTERM) and waited for
    local pid
    for pid; do kill -TERM "$pid" 2>/dev/null; done
    for pid; do wait "$pid" 2>/dev/null; done
    forget "$@"
}
trap 'end_processes "${children[@]}"' EXIT

# --- Packages, kernel, builds ----------------------------------------------

check_tools() {
    bash "$root/scripts/install-deps.sh" drivers >/dev/null ||
        cannot "the packages could not be installed (scripts/install-deps.sh drivers)"
    command -v qemu-system-x86_64 >/dev/null || cannot "qemu-system-x86_64 is missing"
    [ -x /bin/busybox ] || cannot "busybox is missing"
}

# fetch_kernel: the kernel package in kdir, unpacked into kdir/root.
fetch_kernel() {
    local pkg deb
    if ! ls "$kdir"/linux-image-*.deb >/dev/null 2>&1; then
        pkg=$kernel_pin
        if ! apt-cache show "$pkg" >/dev/null 2>&1; then
            pkg=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' |
                  cut -d' ' -f1 | sort -V | tail -n 1)
        fi
        [ -n "$pkg" ] || cannot "no linux-image-6.1.0-*-amd64 package in the archive"
        (cd "$kdir" && apt-get download "$pkg") >"$kdir/download.log" 2>&1 ||
            cannot "apt-get download $pkg failed (see $kdir/download.log)"
    fi
    deb=$(ls "$kdir"/linux-image-*.deb | head -n 1)
    if [ ! -d "$kdir/root/boot" ]; then
        dpkg-deb -x "$deb" "$kdir/root" || cannot "cannot unpack $deb"
    fi
}

# build_static: one static build, the utility, the probe and the emulator.
# COM<n> is pello/COM<n> from the working folder, which the guest links to
# its devices and the host to the emulators of the reference sessions.
build_static() {
    {
        cmake -S "$root" -B "$static" -DPELLOMATIC_TESTS=OFF -DPELLOMATIC_WERROR=ON \
            -DPELLOMATIC_DRIVER_PROBE=ON "-DPELLOMATIC_PORT_TEMPLATE=pello/COM{n}" \
            -DCMAKE_EXE_LINKER_FLAGS=-static &&
        cmake --build "$static" -j2 --target pellomatic line_probe pellomatic-sim \
            pellomatic-pkg pellomatic-ports-pkg
    } >"$run/build.log" 2>&1 || { note "the static build failed (see $run/build.log)"; failed=$((failed + 1)); finish; }
}

# fetch_udev: Debian's udev package in udir, unpacked into udir/root like the
# kernel.
fetch_udev() {
    mkdir -p "$udir"
    if ! ls "$udir"/udev_*.deb >/dev/null 2>&1; then
        (cd "$udir" && apt-get download udev) >"$udir/download.log" 2>&1 ||
            cannot "apt-get download udev failed (see $udir/download.log)"
    fi
    if [ ! -x "$udir/root/bin/udevadm" ]; then
        dpkg-deb -x "$(ls "$udir"/udev_*.deb | head -n 1)" "$udir/root" || cannot "cannot unpack udev"
    fi
}

# make_initramfs DEB MODULES: run/initramfs.gz, of busybox, the two programs,
# the kernel's modules (from the folder MODULES of package DEB), the
# examples, /init; Debian's udev and GNU env (it starts a session's utility
# with SIGQUIT at its default action, which the guest's shell ignores in its
# background jobs), with the libraries they need copied from this machine's
# own Debian system; the utility and pellomatic-ports with the package's
# port templates beside it.
make_initramfs() {
    local deb=$1 moddir=$2 img=$run/initramfs m f lib
    rm -rf "$img"
    mkdir -p "$img/bin" "$img/modules" "$img/etc" "$img/examples"
    cp /bin/busybox "$img/bin/busybox"
    cp "$bin/pellomatic" "$bin/line_probe" "$img/bin/"
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        f=$(find "$moddir" -name "$m.ko" | head -n 1)
        [ -n "$f" ] || cannot "module $m.ko is not in $deb"
        cp "$f" "$img/modules/"
    done
    cp "$root"/examples/* "$img/examples/"
    mkdir -p "$img/lib/systemd" "$img/lib/udev" "$img/etc/udev/rules.d" "$img/run" "$img/usr/bin"
    cp "$udir/root/bin/udevadm" "$img/bin/udevadm"
    cp /usr/bin/env "$img/usr/bin/env"
    ln -s /bin/udevadm "$img/lib/systemd/systemd-udevd"
    cp -r "$udir/root/lib/udev/rules.d" "$img/lib/udev/"
    while read -r lib; do
        [ -f "$lib" ] || cannot "udevadm or env needs $lib, which this machine lacks (scripts/install-deps.sh drivers)"
        mkdir -p "$img$(dirname "$lib")"
        cp -L "$lib" "$img$lib"
    done < <(ldd "$udir/root/bin/udevadm" /usr/bin/env | sed -nE 's/.*=> (\/[^ ]+) .*/\1/p; s/^\s*(\/[^ ]+) \(.*/\1/p')
    ! ldd "$udir/root/bin/udevadm" /usr/bin/env | grep 'not found' || cannot "udevadm or env needs libraries this machine lacks"
    cp "$bin/pellomatic-pkg" "$bin/pellomatic-ports-pkg" "$img/bin/"
    mv "$img/bin/pellomatic-ports-pkg" "$img/bin/pellomatic-ports"
    cp "$root/tests/drivers/guest-init.sh" "$img/init"
    chmod 755 "$img/init"
    (cd "$img" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$run/initramfs.gz" ||
        cannot "cannot build the initramfs"
}

# prepare: the packages, the kernel, the builds and the initramfs.
prepare() {
    local deb moddir
    check_tools
    mkdir -p "$kdir" "$run"
    fetch_kernel
    deb=$(ls "$kdir"/linux-image-*.deb | head -n 1)
    moddir=$(ls -d "$kdir"/root/lib/modules/* | head -n 1)
    build_static
    fetch_udev
    make_initramfs "$deb" "$moddir"
    note "kernel $(basename "$deb"), builds and initramfs ready after $((SECONDS - started))s"
}

# --- The emulators' traces ----------------------------------------------------

# trace_record NAME: reads the next line of an emulator's trace (its --log:
# "%10.3f TEXT", the seconds since the emulator started and what happened)
# from standard input into the associative array NAME, whose fields are
#   ms     the milliseconds since the emulator started
#   kind   send or recv: bytes the emulator sent or received; event: the rest;
#          unreadable: a line of another form
#   count  how many bytes (0 for the rest)
#   text   the bytes in hex, the event's words, or the unreadable line
# Fails at the end of the input.
trace_record() {
    local -n record=$1
    local line
    IFS= read -r line || return 1
    record=([ms]='' [kind]=unreadable [count]=0 [text]=$line)
    [[ $line =~ ^\ *([0-9]+)\.([0-9]{3})\ (.*)$ ]] || return 0
    record[ms]=$((10#${BASH_REMATCH[1]} * 1000 + 10#${BASH_REMATCH[2]}))
    record[text]=${BASH_REMATCH[3]}
    record[kind]=event
    if [[ ${record[text]} =~ ^(send|recv)\ ([0-9]+):\ (.*)$ ]]; then
        record[kind]=${BASH_REMATCH[1]}
        record[count]=${BASH_REMATCH[2]}
        record[text]=${BASH_REMATCH[3]}
    fi
}

# wait_trace FILE OFFSET TEXT: waits for an event containing TEXT in the
# trace FILE after OFFSET bytes (at most line_limit seconds).
wait_trace() {
    local fd pid found=1
    local -A entry
    exec {fd}< <(exec timeout "$line_limit" tail -c +"$(($2 + 1))" -F "$1" 2>/dev/null)
    pid=$!
    while trace_record entry <&"$fd"; do
        if [[ ${entry[kind]} == event && ${entry[text]} == *"$3"* ]]; then
            found=0
            break
        fi
    done
    kill "$pid" 2>/dev/null
    exec {fd}<&-
    return $found
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
now() { printf '%s' "$EPOCHREALTIME"; }

# --- The guest and its emulators --------------------------------------------

# wait_link PATH: waits (5 s at most) for an emulator's link PATH.
wait_link() {
    local i
    for ((i = 0; i < 500; i++)); do [ -L "$1" ] && return 0; sleep 0.01; done
    return 1
}

# start_sim DIR OPTIONS...: an emulator linked at DIR/line, powered only on
# request; its trace in DIR/sim.log, what it received in DIR/out, its
# process id in DIR/pid.
start_sim() {
    local dir=$1
    shift
    mkdir -p "$dir"
    "$bin/pellomatic-sim" --link "$dir/line" --out "$dir/out" --log "$dir/sim.log" \
        --manual-power --loader-wait 2000 --quiet "$@" >"$dir/sim.out" 2>&1 </dev/null &
    children+=($!)
    echo $! >"$dir/pid"
    wait_link "$dir/line"
}

# start_emulators DIR OPTIONS_S1 OPTIONS_USB: the emulators of both lines,
# in DIR/S1 and DIR/USB.
start_emulators() {
    local dir=$1
    local -a s1_opts usb_opts
    read -r -a s1_opts <<<"$2"
    read -r -a usb_opts <<<"$3"
    start_sim "$dir/S1" "${s1_opts[@]}" && start_sim "$dir/USB" "${usb_opts[@]}" ||
        cannot "the device emulators did not start"
}

# start_guest STAGE DIR KERNEL: QEMU on the emulators' lines, its console and
# monitor on fifos in DIR; its process id in DIR/qemu.pid, that of the
# monitor's reader in DIR/monitor.pid.
start_guest() {
    local stage=$1 dir=$2 vmlinuz=$3
    mkfifo "$dir/console.fifo" "$dir/keys.fifo" "$dir/mon.in" "$dir/mon.out"
    cat "$dir/mon.out" >"$dir/monitor.log" &
    children+=($!)
    echo $! >"$dir/monitor.pid"
    # The guest stands for a computer of its own: other load on this machine
    # must not stretch its time. Its write limits are a few milliseconds (12 ms
    # for the attention character at 9600), and a QEMU left waiting for a core
    # makes the guest's drain late by as much. As root, QEMU gets a higher
    # priority than the rest; elsewhere it runs as it is.
    local -a priority=()
    [ "$(id -u)" -eq 0 ] && priority=(nice -n -10)
    timeout "$boot_limit" "${priority[@]}" qemu-system-x86_64 -accel tcg -m 256 -smp 1 -nodefaults \
        -display none -no-reboot -kernel "$vmlinuz" -initrd "$run/initramfs.gz" \
        -append "console=ttyS0 quiet panic=-1 pello.stage=$stage" \
        -chardev stdio,id=con,signal=off -serial chardev:con \
        -chardev serial,id=s1,path="$dir/S1/line" -device isa-serial,chardev=s1,index=1 \
        -chardev serial,id=u0,path="$dir/USB/line" -device qemu-xhci,id=xhci \
        -device "$usb_adapter" \
        -chardev pipe,id=mon,path="$dir/mon" -mon chardev=mon,mode=readline \
        <"$dir/keys.fifo" >"$dir/console.fifo" 2>"$dir/qemu.err" &
    children+=($!)
    echo $! >"$dir/qemu.pid"
}

# serve_guest STAGE DIR KEYS CON MON: the guest's console (descriptor CON),
# line by line into DIR/console, each line answered (the "@@" protocol,
# written down at the top of tests/drivers/guest-init.sh) through KEYS (the
# guest's console input) and MON (QEMU's monitor), until @@done or a line
# limit without a line. The session's requests are answered here, as they
# need what its earlier lines said: its name and line, and the pull waiting
# for its "go"; the others by answer_request.
serve_guest() {
    local stage=$1 dir=$2 keys=$3 con=$4 mon=$5 line current='' session='' pull_pid='' from ended
    while IFS= read -r -t "$line_limit" line <&"$con"; do
        line=${line%$'\r'}
        [ -s "$dir/console" ] || note "guest $stage booted after $((SECONDS - started))s"
        printf '%s\n' "$line" >>"$dir/console"
        case "$line" in
        "@@session "*)
            current=${line##* }
            session=${line#@@session }
            session=${session%% *} ;;
        "| "*"TURN ON"*)
            [ -n "$current" ] && kill -USR1 "$(<"$dir/$current/pid")" ;;
        "@@pull")
            # Once the emulator holds its answer back, the guest looks for the
            # utility waiting in its read (not still draining its write).
            from=$(size_of "$dir/USB/sim.log")
            (
                wait_trace "$dir/USB/sim.log" "$from" "held back" || exit 1
                printf 'go\n' >&"$keys"
            ) &
            pull_pid=$! ;;
        "@@reading")
            # Then the adapter goes.
            now >"$dir/$session.pulled-at"
            printf 'device_del usbser\n' >&"$mon" ;;
        "@@status "*)
            ended=${line#@@status }
            now >"$dir/${ended%% *}.ended-at"
            [ -n "$pull_pid" ] && { wait "$pull_pid"; pull_pid=; } ;;
        "@@done")
            break ;;
        *)
            answer_request "$line" "$dir" "$keys" "$mon" ;;
        esac
    done
}

# answer_request LINE DIR KEYS MON: does what a request of the guest that
# needs no session asks (pull or plug the adapter, resume the stalled line,
# note the speed of the host's end) and answers "ok" through KEYS; other
# lines are left alone.
answer_request() {
    local line=$1 dir=$2 keys=$3 mon=$4 from words side=S1
    case "$line" in
    "@@unplug")
        printf 'device_del usbser\n' >&"$mon"
        printf 'ok\n' >&"$keys" ;;
    "@@plug")
        printf 'device_add %s\n' "$usb_adapter" >&"$mon"
        printf 'ok\n' >&"$keys" ;;
    "@@resume")
        from=$(size_of "$dir/S1/sim.log")
        kill -USR2 "$(<"$dir/S1/pid")"
        wait_trace "$dir/S1/sim.log" "$from" "line resumed"
        printf 'ok\n' >&"$keys" ;;
    "@@rate "*)
        read -r -a words <<<"$line"
        [ "${words[1]}" = COM2 ] && side=USB
        printf '%s %s host-side %s\n' "${words[1]}" "${words[2]%:}" \
            "$(stty -F "$dir/$side/line" speed 2>&1)" >>"$dir/rates"
        printf 'ok\n' >&"$keys" ;;
    esac
    return 0
}

# stop_guest DIR KEYS CON MON: QEMU ended (at once when the guest did not
# reach @@done) and its monitor's reader, the descriptors closed; returns
# QEMU's exit status.
stop_guest() {
    local dir=$1 keys=$2 con=$3 mon=$4 qemu monitor status
    qemu=$(<"$dir/qemu.pid")
    monitor=$(<"$dir/monitor.pid")
    # A guest that stopped answering (no line within the limit) is ended now.
    grep -q '^@@done' "$dir/console" 2>/dev/null || kill "$qemu" 2>/dev/null
    exec {keys}>&- {mon}>&-
    wait "$qemu" 2>/dev/null
    status=$?
    exec {con}<&-
    kill "$monitor" 2>/dev/null
    wait "$monitor" 2>/dev/null
    forget "$qemu" "$monitor"
    return $status
}

# judge_boot STAGE DIR STATUS: a guest that did not reach @@done fails the
# run; one that printed nothing at all means QEMU cannot run here.
judge_boot() {
    local stage=$1 dir=$2 status=$3
    grep -q '^@@done' "$dir/console" 2>/dev/null && return
    if [ ! -s "$dir/console" ]; then
        cannot "the guest printed nothing (QEMU status $status; see $dir/qemu.err)"
    fi
    note "guest $stage stopped before its end (QEMU status $status; see $dir/console)"
    failed=$((failed + 1))
}

# boot STAGE KERNEL OPTIONS_S1 OPTIONS_USB: runs the guest's STAGE, answering
# its requests; the console (without carriage returns) ends in
# run/STAGE/console, the files the guest sent in run/STAGE/guest/.
boot() {
    local stage=$1 dir=$run/$1 keys con mon status
    rm -rf "$dir"
    mkdir -p "$dir"
    start_emulators "$dir" "$3" "$4"
    start_guest "$stage" "$dir" "$2"
    exec {keys}>"$dir/keys.fifo" {con}<"$dir/console.fifo" {mon}>"$dir/mon.in"
    serve_guest "$stage" "$dir" "$keys" "$con" "$mon"
    stop_guest "$dir" "$keys" "$con" "$mon"
    status=$?
    # The emulators write what their last sessions received when they end.
    end_processes "$(<"$dir/S1/pid")" "$(<"$dir/USB/pid")"
    judge_boot "$stage" "$dir" "$status"
    unpack "$dir"
}

# unpack DIR: the files the guest sent, from DIR/console into DIR/guest/.
unpack() {
    local dir=$1 name='' line
    mkdir -p "$dir/guest"
    while IFS= read -r line; do
        case "$line" in
        "@@file "*) name=${line#@@file }; mkdir -p "$dir/guest/$(dirname "$name")"; : >"$dir/guest/$name.b64" ;;
        "@@end") [ -n "$name" ] && base64 -d "$dir/guest/$name.b64" >"$dir/guest/$name"; rm -f "$dir/guest/$name.b64"; name= ;;
        *) [ -n "$name" ] && printf '%s\n' "$line" >>"$dir/guest/$name.b64" ;;
        esac
    done <"$dir/console"
}

# --- The reference: the same sessions over a pseudo-terminal ----------------

# reference NAME INPUT: the utility on the host against an emulator on a
# pseudo-terminal, powered when the utility opens the port; in
# run/reference/NAME.
reference() {
    local dir=$run/reference/$1 input=$2 pid
    rm -rf "$dir"
    mkdir -p "$dir/work/pello"
    cp -r "$root/examples" "$dir/work/"
    "$bin/pellomatic-sim" --link "$dir/work/pello/COM1" --out "$dir/out" --log "$dir/sim.log" \
        --quiet >"$dir/sim.out" 2>&1 </dev/null &
    pid=$!
    children+=("$pid")
    wait_link "$dir/work/pello/COM1"
    (cd "$dir/work" && printf '%s' "$input" | timeout "$line_limit" "$bin/pellomatic") \
        >"$dir/transcript" 2>"$dir/stderr"
    echo $? >"$dir/status"
    end_processes "$pid"
}

# --- Checks -----------------------------------------------------------------

# verdict NAME CHECK ARGS...: runs CHECK ARGS in a subshell with errexit, its
# notes on standard output and each problem it finds a line on descriptor 3
# (problem), then tallies NAME: ok, or FAILED with the problems. A check that
# stops at a failing command fails, naming it. Never called as a condition
# (errexit would be off in the check).
verdict() {
    local name=$1 found status
    local -a problems=()
    shift
    {
        found=$( (set -e
                  trap 'stopped $?' EXIT
                  "$@") 3>&1 >&4 4>&-)
        status=$?
    } 4>&1
    [ -z "$found" ] || mapfile -t problems <<<"$found"
    ((status == 0 || ${#problems[@]} > 0)) || problems=("the check ended with status $status")
    if ((${#problems[@]} == 0)); then
        passed=$((passed + 1))
        note "$name: ok"
    else
        failed=$((failed + 1))
        note "$name: FAILED"
        printf '    %s\n' "${problems[@]}"
    fi
}
problem() { printf '%s\n' "$*" >&3; }
# stopped STATUS: a problem unless STATUS is 0: the check stopped at the
# command that failed.
stopped() { (($1 == 0)) || problem "stopped: \"$BASH_COMMAND\" failed (status $1)"; }
# The firmware progress line carries elapsed seconds: compare without it.
steady() { sed -E 's/\r[ 0-9]+s TTC [^\r]*//g' "$1"; }
same() {  # what, file, file
    if [ ! -f "$2" ]; then
        problem "$1: $2 is missing"
    elif ! cmp -s "$2" "$3"; then
        problem "$1 differs from the pseudo-terminal's ($2, $3)"
    fi
}
has_line() {  # file, exact line
    grep -qxF -- "$2" "$1" 2>/dev/null || problem "no line '$2' in $1"
}
has_match() {  # file, extended regular expression, what
    grep -qE -- "$2" "$1" 2>/dev/null || problem "$3 (in $1)"
}
field() {  # line, name: the value of name=value in a probe line
    sed -nE "s/.* $2=([^ ]*).*/\1/p" <<<"$1"
}
# restored BEFORE AFTER WHEN: each line setting and the low-latency flag of
# the probe line BEFORE is in AFTER as it was (one neither line shows is not).
restored() {
    local k was is
    for k in speed iflag oflag cflag lflag low_latency; do
        was=$(field "$1" "$k")
        is=$(field "$2" "$k")
        [ -n "$was" ] && [ "$was" = "$is" ] ||
            problem "$k not back as found $3: before '$1', after '$2'"
    done
}

# check_session STAGE REFERENCE COM SIDE: the operator session on COM<n> of
# the guest against the reference, its emulator the one of SIDE.
check_session() {
    local dir=$1 ref=$2 com=$3 side=$4 g=$1/guest/operator-COM$3 f
    [ "$(cat "$ref/status")" = 0 ] || problem "the reference session ended with $(cat "$ref/status")"
    if [ -f "$g/transcript" ]; then
        steady "$ref/transcript" | sed "s/COM1/COM$com/g; s/connect 1/connect $com/g" >"$g/reference.steady"
        steady "$g/transcript" >"$g/transcript.steady"
        same "transcript" "$g/transcript.steady" "$g/reference.steady"
    else
        problem "no transcript from the guest"
    fi
    grep -q '^@@status operator-COM'"$com"' 0$' "$dir/console" || problem "the utility did not end with status 0"
    for f in conf.bin rules.bin packets.log firmware.log firmware.bin; do
        same "$f" "$dir/$side/out/$f" "$ref/out/$f"
    done
}

# check_port_state STAGE COM: DTR, RTS and low latency while connected; back
# as found; a second open.
check_port_state() {
    local com=$2 g=$1/guest/operator-COM$2 before held after
    local -a probe=()
    [ ! -f "$g/probe" ] || mapfile -t probe <"$g/probe"
    if ((${#probe[@]} != 3)); then
        problem "the probe gave ${#probe[@]} lines, not 3: ${probe[*]}"
    else
        before=${probe[0]} held=${probe[1]} after=${probe[2]}
        [ "$(field "$held" dtr)" = 0 ] || problem "DTR not low while connected: $held"
        [ "$(field "$held" rts)" = 0 ] || problem "RTS not low while connected: $held"
        [ "$(field "$held" low_latency)" = 1 ] || problem "low latency not set while connected: $held"
        restored "$before" "$after" "after the close"
        note "    found:     ${before#*: }"
        note "    connected: ${held#*: }"
        note "    closed:    ${after#*: }"
    fi
    has_line "$g/second" "${bel}${bel}Error: cannot open COM port COM$com: Device or resource busy"
    has_line "$g/second" "${bel}${bel}Error: could not open COM port COM$com"
}

# check_rates STAGE COM: the rates the link does not use.
check_rates() {
    local dir=$1 com=$2 r line host
    for r in 14400 56000; do
        line=$(grep -F "@@rate COM$com $r:" "$dir/console") || line=
        host=$(grep -F "COM$com $r host-side" "$dir/rates" 2>/dev/null | awk '{print $4}') || host=
        [[ "$line" == *"open_port 0,"* ]] || problem "$r not accepted: ${line:-no answer}"
        note "    $r: ${line#*: }; the host's end of the line runs at ${host:-?}"
    done
}

# check_stall STAGE: the 8250 line stalled in the middle of a download.
check_stall() {
    local dir=$1 t=$1/guest/stall-COM1/transcript wrote n m bound span=''
    local stalled='' resumed='' after_resume=0 stale_count=0
    local -a stale=()
    local -A entry
    has_match "$t" "(^|Command> )${bel}${bel}Error: wrote [0-9]+ of [0-9]+, got error on port COM1: .+" \
        "no short-write message"
    has_match "$t" ": -3$" "no -3 from the write"
    has_match "$t" "Download failed" "the download was not reported as failed"
    [ "$(grep -c "^${bel}Connected at 9600" "$t" 2>/dev/null)" = 2 ] ||
        problem "the connect after the stall did not succeed"
    grep -q '^@@status stall-COM1 0$' "$dir/console" || problem "the utility did not end with status 0"
    # What the emulator received between the resume and the next power-up: what
    # the port layer threw away must not arrive. One byte may: the one the UART
    # was already shifting out when the line stalled (the emulated 16550 hands it
    # to the far end as its transmitter would), which no flush can reach.
    # The count is the bytes that left the port, fewer than the write's. The
    # write ended within its bound (the write limit at 9600 and 200 ms): the
    # emulator's span from the stall to the resume holds it, and the guest's
    # way to the resume besides, so the span can only be longer.
    wrote=$(grep -m 1 -oE "Error: wrote [0-9]+ of [0-9]+" "$t" 2>/dev/null) || wrote=
    read -r _ _ n _ m <<<"${wrote:-x x 0 x 0}"
    ((n < m)) || problem "the short write counts $n of $m"
    [ ! -f "$dir/S1/sim.log" ] || while trace_record entry; do
        case ${entry[kind]}:${entry[text]} in
        "event:line stalled"*) stalled=${entry[ms]} ;;
        "event:line resumed"*) resumed=${entry[ms]} after_resume=1 ;;
        "event:power on"*) after_resume=0 ;;
        recv:*)
            if ((after_resume)); then
                stale+=("${entry[count]}: ${entry[text]}")
                stale_count=$((stale_count + entry[count]))
            fi ;;
        esac
    done <"$dir/S1/sim.log"
    [ -z "$stalled" ] || [ -z "$resumed" ] || span=$((resumed - stalled))
    bound=$((m * 2 + 10 + 200))
    note "    the write of $m bytes ended with $n out; stall to resume ${span:-?} ms (bound $bound ms)"
    ((${span:-999999} < bound + 1500)) || problem "stall to resume ${span:-?} ms: not within the bound $bound ms and 1.5 s"
    ((stale_count <= 1)) || problem "stale bytes went out after the line resumed: $(IFS=,; printf '%s' "${stale[*]}")"
    ((${#stale[@]} == 0)) || note "    after the resume the far end got the byte the UART held: ${stale[0]}"
}

# check_pull STAGE NAME: the adapter pulled out during session NAME.
check_pull() {
    local dir=$1 name=$2 span
    local -a err=()
    grep -q "^@@status $name 3$" "$dir/console" || problem "the utility did not end with status 3"
    [ ! -f "$dir/guest/$name/stderr" ] || mapfile -t err <"$dir/guest/$name/stderr"
    [[ "${err[0]:-}" =~ ^${bel}${bel}Error:\ could\ not\ read\ on\ COM\ port\ COM2:\ .+$ ]] ||
        problem "standard error line 1: '${err[0]:-}'"
    [[ "${err[1]:-}" =~ ^Return\ code\ 26,\ system\ error\ code\ [0-9]+$ ]] ||
        problem "standard error line 2: '${err[1]:-}'"
    # From the pull to the end: the read fails at once (a read that ran out
    # instead would not end the program), then fatal_exit waits its 5 s.
    # Measured from before the request, so the span is never short.
    if [ -f "$dir/$name.pulled-at" ] && [ -f "$dir/$name.ended-at" ]; then
        span=$(awk -v a="$(cat "$dir/$name.pulled-at")" -v b="$(cat "$dir/$name.ended-at")" \
               'BEGIN { printf "%.2f", b - a }')
        note "    ended ${span}s after the pull"
        awk -v s="$span" 'BEGIN { exit !(s >= 5.0 && s <= 20.0) }' ||
            problem "ended ${span}s after the pull: not within 5 s (fatal_exit) to 20 s"
    else
        problem "the pull or the end was not seen"
    fi
}

# check_quit STAGE: SIGQUIT (Ctrl-\) ends the utility while it holds the 8250
# line.
check_quit() {
    local dir=$1 g=$1/guest/quit-COM1
    local -a probe=()
    grep -q '^@@status quit-COM1 131$' "$dir/console" || problem "the utility did not end by SIGQUIT (131)"
    [ ! -f "$g/probe" ] || mapfile -t probe <"$g/probe"
    if ((${#probe[@]} != 3)); then
        problem "the probe gave ${#probe[@]} lines, not 3: ${probe[*]}"
    else
        restored "${probe[0]}" "${probe[1]}" "after SIGQUIT"
        [[ "${probe[2]}" == "show /dev/ttyS1: speed="* ]] || problem "not served to a user who is not root: ${probe[2]}"
    fi
}

# udev_said CONSOLE KEY: the value the udev stage reported as "@@udev KEY=VALUE".
udev_said() { sed -n "s/^@@udev $2=//p" "$1"; }

# check_udev_assign STAGE: Debian's udev in the guest, the COM3 link of
# pellomatic-ports keyed to the adapter's serial number.
check_udev_assign() {
    local u=$1 g=$1/guest/udev serial
    sed -n 's/^@@udev /    /p' "$u/console"
    has_line "$g/assign" "status 0"
    has_match "$g/assign" '^COM3 is /dev/ttyUSB0, keyed to its serial number ' "assign did not key the rule to the serial number"
    serial=$(udev_said "$u/console" serial)
    [ -n "$serial" ] || problem "the kernel reports no serial number of the emulated adapter"
    has_line "$g/rule" "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"$(udev_said "$u/console" idVendor)\", ATTRS{idProduct}==\"$(udev_said "$u/console" idProduct)\", ATTRS{serial}==\"$serial\", SYMLINK+=\"pellomatic/COM3\", GROUP=\"dialout\", MODE=\"0660\""
    has_match "$u/console" "^@@udev assigned: COM3 /dev/ttyUSB0 " "the link was not made"
}

# check_udev_sessions STAGE REFERENCE: a session on connect 3 before and
# after a pull, against the reference.
check_udev_sessions() {
    local u=$1 ref=$2 name f
    for name in udev-first udev-again; do
        if [ -f "$u/guest/$name/transcript" ]; then
            sed "s/COM1/COM3/g; s/connect 1/connect 3/g" "$ref/transcript" >"$u/guest/$name/reference"
            same "transcript" "$u/guest/$name/transcript" "$u/guest/$name/reference"
        else
            problem "no transcript of $name"
        fi
        grep -q "^@@status $name 0$" "$u/console" || problem "$name: the utility did not end with status 0"
    done
    for f in conf.bin rules.bin packets.log; do same "$f" "$u/USB/out/$f" "$ref/out/$f"; done
}

# check_udev_link STAGE: the link goes with the adapter and comes back.
check_udev_link() {
    has_line "$1/console" "@@udev pulled: COM3 none"
    has_match "$1/console" "^@@udev plugged: COM3 /dev/ttyUSB0 " "the link did not come back"
}

# check_udev_table STAGE: what pellomatic-ports lists.
check_udev_table() {
    local g=$1/guest/udev serial
    serial=$(udev_said "$1/console" serial)
    [ ! -f "$g/table-after" ] || sed 's/^/    /' "$g/table-after"
    has_match "$g/table-before" '^- +/dev/ttyUSB0 +ftdi_sio ' "before: the adapter is not among the devices no COM number reaches"
    has_match "$g/table-after" '^COM2 +/dev/ttyS1 +/dev/ttyS1 +[a-z0-9_]+$' "COM2 is not the 8250 UART /dev/ttyS1"
    has_match "$g/table-after" "^COM3 +/dev/pellomatic/COM3 +/dev/ttyUSB0 +ftdi_sio +.*, serial $serial\$" "COM3 is not the adapter"
    has_line "$g/table-after" "Serial devices that no COM number reaches: none"
}

# --- The stage --------------------------------------------------------------

main() {
    local vmlinuz com driver dev side name
    prepare
    vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* | head -n 1)
    reference operator "$operator_input"
    boot clean "$vmlinuz" "" ""
    boot faults "$vmlinuz" "--stall-at 1" "--delay-at 3:60000 --ident-delay 60000"
    reference udev "$udev_input"
    boot udev "$vmlinuz" "" ""

    for com in 1 2; do
        case $com in 1) side=S1 driver=8250 dev=/dev/ttyS1 ;; 2) side=USB driver=ftdi_sio dev=/dev/ttyUSB0 ;; esac
        verdict "session on $driver (COM$com, $dev)" check_session "$run/clean" "$run/reference/operator" "$com" "$side"
        verdict "port state on $driver (COM$com): modem lines, low latency, restored, second open" \
            check_port_state "$run/clean" "$com"
        verdict "14400 and 56000 on $driver (COM$com)" check_rates "$run/clean" "$com"
    done
    verdict "8250 line stalled mid-download (COM1)" check_stall "$run/faults"
    for name in pull-download pull-firmware; do
        verdict "USB adapter pulled out: $name (COM2)" check_pull "$run/faults" "$name"
    done
    verdict "8250 line put back when SIGQUIT ends the utility (COM1)" check_quit "$run/faults"
    verdict "udev: pellomatic-ports assign 3 /dev/ttyUSB0 keys the rule to the adapter's serial number" \
        check_udev_assign "$run/udev"
    verdict "udev: a session on connect 3 through /dev/pellomatic/COM3, before and after a pull" \
        check_udev_sessions "$run/udev" "$run/reference/udev"
    verdict "udev: the link goes when the adapter is pulled out and comes back when it is plugged in" \
        check_udev_link "$run/udev"
    verdict "udev: pellomatic-ports lists the 8250 UART as COM2 and the adapter as COM3" \
        check_udev_table "$run/udev"
    finish
}

main "$@"
