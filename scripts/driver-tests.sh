#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks run through verdict, the EXIT trap's command is a string
# The utility on the kernel's own serial drivers: a QEMU guest (TCG, no KVM
# needed) runs the Debian kernel's 8250 UART driver (/dev/ttyS1, COM1 in the
# guest) and its FTDI USB-serial driver (/dev/ttyUSB0, COM2), a device emulator
# on the host side of each line. The guest's /init (tests/drivers/guest-init.sh)
# runs the sessions; this script answers its requests (the "@@" protocol at the
# top of guest-init.sh: power, pulling the adapter, resuming a stalled line)
# and checks:
#   1. a whole operator session on each driver: transcript and what the emulator
#      received equal those of the same session over a pseudo-terminal;
#   2. DTR and RTS low and the low-latency flag set while connected, line
#      settings and flag back as found after the close, a second open (as a user
#      who is not root) refused;
#   3. 14400 and 56000 accepted on both drivers, with what each reports;
#   4. the 8250 line stalled mid-download: the write ends at its bound with the
#      short-write message and -3, nothing stale follows, the next command works;
#   5. the adapter pulled out mid-download and mid-firmware-update: the hang-up
#      path (status 3, both lines on standard error) in time;
#   6. SIGQUIT (Ctrl-\) while the utility holds the 8250 line: the line settings
#      and the low-latency flag back as found, and a second open (as a user who
#      is not root) served;
#   7. Debian's own udev daemon in the guest: `pellomatic-ports assign 3` gives
#      the FTDI adapter the link /dev/pellomatic/COM3, a whole session on
#      `connect 3` works (the utility with the package's templates), the link
#      goes when the adapter is pulled out and comes back when it is plugged in,
#      and the next session works; pellomatic-ports lists the 8250 UART and the
#      adapter with their COM numbers.
# Ends with "N passed, N failed". When QEMU cannot run it says so in one line
# and fails.
#
#   scripts/driver-tests.sh            (PELLO_DRIVER_BUILD: the build tree)
#
# The script runs without errexit, so that it always ends with its count; each
# check runs in a subshell with errexit and fails at a command that fails.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELLO_DRIVER_BUILD:-$root/build-drivers}
run=$build/run
kdir=$build/kernel
udir=$build/udev
static=$build/static
bin=$static/bin
started=$SECONDS
# The kernel whose drivers are tried, or else the archive's newest 6.1 kernel.
kernel_pin=linux-image-6.1.0-57-amd64
# Generous outer limits of the waits: a stalled step ends the run, not CI.
boot_limit=300
line_limit=60
# The emulated FTDI adapter has a serial number of its own, as a real one: the
# udev rule is keyed to it, and QEMU's default follows the USB port.
usb_adapter=usb-serial,chardev=u0,id=usbser,serial=PELLO001
bel=$'\a'
operator_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nfirmware 1 examples/firmware.hex\ny\n\nx\n'
udev_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nx\n'

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

end_processes() {  # PID...: ended (SIGTERM) and waited for
    local pid
    for pid; do kill -TERM "$pid" 2>/dev/null; done
    for pid; do wait "$pid" 2>/dev/null; done
}
# At the exit, the background jobs not yet waited for are ended.
trap 'end_processes $(jobs -p)' EXIT

# --- Packages, kernel, builds ----------------------------------------------

# fetch_deb DIR UNPACKED PACKAGE: PACKAGE downloaded into DIR once, unpacked
# into DIR/root unless the path UNPACKED is there.
fetch_deb() {
    local dir=$1 deb
    mkdir -p "$dir"
    if ! ls "$dir"/*.deb >/dev/null 2>&1; then
        (cd "$dir" && apt-get download "$3") >"$dir/download.log" 2>&1 ||
            cannot "apt-get download $3 failed (see $dir/download.log)"
    fi
    deb=$(ls "$dir"/*.deb | head -n 1)
    [ -e "$2" ] || dpkg-deb -x "$deb" "$dir/root" || cannot "cannot unpack $deb"
}

# make_initramfs DEB MODULES: run/initramfs.gz of busybox, the programs (the
# package's builds too), the kernel's modules (folder MODULES of package DEB),
# the examples, /init, Debian's udev and GNU env (it starts a session's utility
# with SIGQUIT at its default action, which the shell ignores in background
# jobs) with their libraries from this machine.
make_initramfs() {
    local deb=$1 moddir=$2 img=$run/initramfs m f lib
    rm -rf "$img"
    mkdir -p "$img/bin" "$img/modules" "$img/etc/udev/rules.d" "$img/examples" \
        "$img/lib/systemd" "$img/lib/udev" "$img/run" "$img/usr/bin"
    cp /bin/busybox "$bin/pellomatic" "$bin/line_probe" "$bin/pellomatic-pkg" "$udir/root/bin/udevadm" "$img/bin/"
    cp "$bin/pellomatic-ports-pkg" "$img/bin/pellomatic-ports"
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        f=$(find "$moddir" -name "$m.ko" | head -n 1)
        [ -n "$f" ] || cannot "module $m.ko is not in $deb"
        cp "$f" "$img/modules/"
    done
    cp "$root"/examples/* "$img/examples/"
    cp /usr/bin/env "$img/usr/bin/env"
    ln -s /bin/udevadm "$img/lib/systemd/systemd-udevd"
    cp -r "$udir/root/lib/udev/rules.d" "$img/lib/udev/"
    while read -r lib; do
        [ -f "$lib" ] || cannot "udevadm or env needs $lib, which this machine lacks (scripts/install-deps.sh drivers)"
        mkdir -p "$img$(dirname "$lib")"
        cp -L "$lib" "$img$lib"
    done < <(ldd "$udir/root/bin/udevadm" /usr/bin/env | sed -nE 's/.*=> (\/[^ ]+) .*/\1/p; s/^\s*(\/[^ ]+) \(.*/\1/p')
    ! ldd "$udir/root/bin/udevadm" /usr/bin/env | grep 'not found' || cannot "udevadm or env needs libraries this machine lacks"
    install -m 755 "$root/tests/drivers/guest-init.sh" "$img/init"
    (cd "$img" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$run/initramfs.gz" ||
        cannot "cannot build the initramfs"
}

# prepare: the packages, the kernel, Debian's udev, one static build and the
# initramfs. COM<n> is pello/COM<n> from the working folder, which the guest links
# to its devices and the host to the emulators of the reference sessions.
prepare() {
    local pkg=$kernel_pin deb moddir
    bash "$root/scripts/install-deps.sh" drivers >/dev/null ||
        cannot "the packages could not be installed (scripts/install-deps.sh drivers)"
    command -v qemu-system-x86_64 >/dev/null || cannot "qemu-system-x86_64 is missing"
    [ -x /bin/busybox ] || cannot "busybox is missing"
    mkdir -p "$run"
    apt-cache show "$pkg" >/dev/null 2>&1 ||
        pkg=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | cut -d' ' -f1 | sort -V | tail -n 1)
    fetch_deb "$kdir" "$kdir/root/boot" "${pkg:-$kernel_pin}"
    fetch_deb "$udir" "$udir/root/bin/udevadm" udev
    deb=$(ls "$kdir"/*.deb | head -n 1)
    moddir=$(ls -d "$kdir"/root/lib/modules/* | head -n 1)
    {
        cmake -S "$root" -B "$static" -DPELLOMATIC_TESTS=OFF -DPELLOMATIC_WERROR=ON \
            -DPELLOMATIC_DRIVER_PROBE=ON "-DPELLOMATIC_PORT_TEMPLATE=pello/COM{n}" \
            -DCMAKE_EXE_LINKER_FLAGS=-static &&
        cmake --build "$static" -j2 --target pellomatic line_probe pellomatic-sim \
            pellomatic-pkg pellomatic-ports-pkg
    } >"$run/build.log" 2>&1 || { note "the static build failed (see $run/build.log)"; failed=$((failed + 1)); finish; }
    make_initramfs "$deb" "$moddir"
    note "kernel $(basename "$deb"), builds and initramfs ready after $((SECONDS - started))s"
}

# --- The guest and its emulators --------------------------------------------

# trace_record NAME: the next line of an emulator's trace (--log: "%10.3f TEXT")
# from standard input into the associative array NAME, fails at the end. Fields:
# ms since the emulator started; kind send or recv (bytes the emulator sent or
# received), event (the rest) or unreadable (a line of another form); count of
# bytes (else 0); text: the bytes in hex, the event's words, or the line.
trace_record() {
    local -n record=$1
    local line ms
    IFS= read -r line || return 1
    record=([ms]='' [kind]=unreadable [count]=0 [text]=$line)
    [[ $line =~ ^\ *([0-9]+)\.([0-9]{3})\ (.*)$ ]] || return 0
    ms=$((10#${BASH_REMATCH[1]} * 1000 + 10#${BASH_REMATCH[2]}))
    record=([ms]=$ms [kind]=event [count]=0 [text]=${BASH_REMATCH[3]})
    if [[ ${record[text]} =~ ^(send|recv)\ ([0-9]+):\ (.*)$ ]]; then
        record=([ms]=$ms [kind]=${BASH_REMATCH[1]} [count]=${BASH_REMATCH[2]} [text]=${BASH_REMATCH[3]})
    fi
}

# wait_trace FILE OFFSET TEXT: waits (line_limit s at most) for an event
# containing TEXT in the trace FILE after OFFSET bytes.
wait_trace() {
    local fd pid found=1
    local -A entry
    exec {fd}< <(exec timeout "$line_limit" tail -c +"$(($2 + 1))" -F "$1" 2>/dev/null)
    pid=$!
    while trace_record entry <&"$fd"; do
        [[ ${entry[kind]} == event && ${entry[text]} == *"$3"* ]] && { found=0; break; }
    done
    kill "$pid" 2>/dev/null
    exec {fd}<&-
    return $found
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# start_sim LINK DIR OPTIONS...: an emulator linked at LINK (waits 5 s at most
# for it), its trace in DIR/sim.log, what it received in DIR/out, its process
# id in DIR/pid.
start_sim() {
    local link=$1 dir=$2 i
    shift 2
    "$bin/pellomatic-sim" --link "$link" --out "$dir/out" --log "$dir/sim.log" --quiet "$@" \
        >"$dir/sim.out" 2>&1 </dev/null &
    echo $! >"$dir/pid"
    for ((i = 0; i < 500; i++)); do [ -L "$link" ] && return 0; sleep 0.01; done
    return 1
}

# start_emulators DIR OPTIONS_S1 OPTIONS_USB: the emulators of both lines in
# DIR/S1 and DIR/USB, linked at line there, powered only on request.
start_emulators() {
    local dir=$1 side
    local -a opts
    for side in S1 USB; do
        shift
        read -r -a opts <<<"$1"
        mkdir -p "$dir/$side"
        start_sim "$dir/$side/line" "$dir/$side" --manual-power --loader-wait 2000 "${opts[@]}" ||
            cannot "the device emulators did not start"
    done
}

# start_guest STAGE DIR KERNEL: QEMU on the emulators' lines, its console and
# monitor on fifos in DIR; the process ids in DIR/qemu.pid and monitor.pid.
start_guest() {
    local stage=$1 dir=$2 vmlinuz=$3
    local -a priority=()
    mkfifo "$dir/console.fifo" "$dir/keys.fifo" "$dir/mon.in" "$dir/mon.out"
    cat "$dir/mon.out" >"$dir/monitor.log" &
    echo $! >"$dir/monitor.pid"
    # The guest's write limits are a few milliseconds (12 ms for the attention
    # character at 9600), and a QEMU left waiting for a core makes its drain late
    # by as much: as root, QEMU gets a higher priority than the rest.
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
    echo $! >"$dir/qemu.pid"
}

# serve_guest STAGE DIR KEYS CON MON: the guest's console (descriptor CON)
# line by line into DIR/console, its "@@" requests (tests/drivers/guest-init.sh)
# answered through KEYS (its console input) and MON (QEMU's monitor), until
# @@done or line_limit seconds without a line.
serve_guest() {
    local stage=$1 dir=$2 keys=$3 con=$4 mon=$5 line current='' session='' pull_pid='' from ended com rate side
    while IFS= read -r -t "$line_limit" line <&"$con"; do
        line=${line%$'\r'}
        [ -s "$dir/console" ] || note "guest $stage booted after $((SECONDS - started))s"
        printf '%s\n' "$line" >>"$dir/console"
        case "$line" in
        "@@session "*)
            read -r _ session current <<<"$line" ;;
        "| "*"TURN ON"*)
            [ -n "$current" ] && kill -USR1 "$(<"$dir/$current/pid")" ;;
        "@@pull")
            # Once the emulator holds its answer back, the guest looks for the
            # utility waiting in its read (not still draining its write).
            from=$(size_of "$dir/USB/sim.log")
            (wait_trace "$dir/USB/sim.log" "$from" "held back" && printf 'go\n' >&"$keys") &
            pull_pid=$! ;;
        "@@reading")
            printf '%s' "$EPOCHREALTIME" >"$dir/$session.pulled-at"
            printf 'device_del usbser\n' >&"$mon" ;;
        "@@status "*)
            ended=${line#@@status }
            printf '%s' "$EPOCHREALTIME" >"$dir/${ended%% *}.ended-at"
            [ -n "$pull_pid" ] && { wait "$pull_pid"; pull_pid=; } ;;
        "@@unplug")
            printf 'device_del usbser\n' >&"$mon" ;;&
        "@@plug")
            printf 'device_add %s\n' "$usb_adapter" >&"$mon" ;;&
        "@@resume")
            from=$(size_of "$dir/S1/sim.log")
            kill -USR2 "$(<"$dir/S1/pid")"
            wait_trace "$dir/S1/sim.log" "$from" "line resumed" ;;&
        "@@rate "*)
            read -r _ com rate _ <<<"$line"
            case $com in COM2) side=USB ;; *) side=S1 ;; esac
            printf '%s %s host-side %s\n' "$com" "${rate%:}" \
                "$(stty -F "$dir/$side/line" speed 2>&1)" >>"$dir/rates" ;;&
        "@@unplug" | "@@plug" | "@@resume" | "@@rate "*)
            printf 'ok\n' >&"$keys" ;;  # the requests above, answered once done
        "@@done")
            break ;;
        esac
    done
}

# boot STAGE KERNEL OPTIONS_S1 OPTIONS_USB: runs the guest's STAGE; its console
# (without carriage returns) ends in run/STAGE/console, the files it sent in
# run/STAGE/guest/. A guest that did not reach @@done fails the run; one that
# printed nothing at all means QEMU cannot run here.
boot() {
    local stage=$1 dir=$run/$1 keys con mon qemu status
    rm -rf "$dir"
    mkdir -p "$dir"
    start_emulators "$dir" "$3" "$4"
    start_guest "$stage" "$dir" "$2"
    exec {keys}>"$dir/keys.fifo" {con}<"$dir/console.fifo" {mon}>"$dir/mon.in"
    serve_guest "$stage" "$dir" "$keys" "$con" "$mon"
    # A guest that stopped answering is ended at once; the emulators write what
    # their last sessions received when they end.
    qemu=$(<"$dir/qemu.pid")
    grep -q '^@@done' "$dir/console" 2>/dev/null || kill "$qemu" 2>/dev/null
    exec {keys}>&- {mon}>&-
    wait "$qemu" 2>/dev/null
    status=$?
    exec {con}<&-
    end_processes "$(<"$dir/monitor.pid")" "$(<"$dir/S1/pid")" "$(<"$dir/USB/pid")"
    if ! grep -q '^@@done' "$dir/console" 2>/dev/null; then
        [ -s "$dir/console" ] || cannot "the guest printed nothing (QEMU status $status; see $dir/qemu.err)"
        note "guest $stage stopped before its end (QEMU status $status; see $dir/console)"
        failed=$((failed + 1))
    fi
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

# reference NAME INPUT: the session in run/reference/NAME, on the host against
# an emulator on a pseudo-terminal, powered when the utility opens the port.
reference() {
    local dir=$run/reference/$1 input=$2
    rm -rf "$dir"
    mkdir -p "$dir/work/pello"
    cp -r "$root/examples" "$dir/work/"
    start_sim "$dir/work/pello/COM1" "$dir"
    (cd "$dir/work" && printf '%s' "$input" | timeout "$line_limit" "$bin/pellomatic") \
        >"$dir/transcript" 2>"$dir/stderr"
    echo $? >"$dir/status"
    end_processes "$(<"$dir/pid")"
}

# --- Checks -----------------------------------------------------------------

# verdict NAME CHECK ARGS...: runs CHECK ARGS in a subshell with errexit (never
# as a condition, which would turn it off), its notes on standard output, each
# problem a line on descriptor 3, and tallies NAME: ok, or FAILED and why.
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
# stopped STATUS: unless STATUS is 0, the check stopped at a failing command.
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
# has_line FILE LINE; has_match FILE REGEX WHAT; field PROBE_LINE KEY and
# udev_said CONSOLE KEY: the VALUE of KEY=VALUE in a probe line or an @@udev line.
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null || problem "no line '$2' in $1"; }
has_match() { grep -qE -- "$2" "$1" 2>/dev/null || problem "$3 (in $1)"; }
field() { sed -nE "s/.* $2=([^ ]*).*/\1/p" <<<"$1"; }
udev_said() { sed -n "s/^@@udev $2=//p" "$1"; }
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

# check_sessions STAGE REFERENCE COM SIDE "NAMES" FILES...: the guest's sessions
# NAMES on COM<n> and the FILES the emulator of SIDE received, as the reference.
check_sessions() {
    local dir=$1 ref=$2 com=$3 side=$4 name g f
    local -a names
    read -r -a names <<<"$5"
    shift 5
    [ "$(cat "$ref/status")" = 0 ] || problem "the reference session ended with $(cat "$ref/status")"
    for name in "${names[@]}"; do
        g=$dir/guest/$name
        if [ -f "$g/transcript" ]; then
            steady "$ref/transcript" | sed "s/COM1/COM$com/g; s/connect 1/connect $com/g" >"$g/reference.steady"
            steady "$g/transcript" >"$g/transcript.steady"
            same "transcript" "$g/transcript.steady" "$g/reference.steady"
        else
            problem "no transcript of $name"
        fi
        grep -q "^@@status $name 0$" "$dir/console" || problem "$name: the utility did not end with status 0"
    done
    for f; do same "$f" "$dir/$side/out/$f" "$ref/out/$f"; done
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
        printf '    %-11s%s\n' found: "${before#*: }" connected: "${held#*: }" closed: "${after#*: }"
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
    # The write's count is of the bytes that left the port, fewer than asked.
    # Its bound (the write limit at 9600 and 200 ms) lies within the emulator's
    # span from the stall to the resume. Between the resume and the next power-up
    # nothing the port layer threw away arrives, but for one byte: the one the
    # UART was already shifting out, which no flush can reach.
    wrote=$(grep -m 1 -oE "Error: wrote [0-9]+ of [0-9]+" "$t" 2>/dev/null) || wrote=
    read -r _ _ n _ m <<<"${wrote:-x x 0 x 0}"
    ((n < m)) || problem "the short write counts $n of $m"
    [ ! -f "$dir/S1/sim.log" ] || while trace_record entry; do
        case ${entry[kind]}:${entry[text]} in
        "event:line stalled"*) stalled=${entry[ms]} ;;
        "event:line resumed"*) resumed=${entry[ms]} after_resume=1 ;;
        "event:power on"*) after_resume=0 ;;
        recv:*)
            ((after_resume)) || continue
            stale+=("${entry[count]}: ${entry[text]}")
            stale_count=$((stale_count + entry[count])) ;;
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
    # The read fails at once (one that ran out would not end the program), then
    # fatal_exit waits its 5 s; the pull's time is taken before the request.
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

# check_quit STAGE: SIGQUIT (Ctrl-\) ends the utility holding the 8250 line.
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

# check_udev_assign STAGE: the COM3 link keyed to the adapter's serial number.
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
        verdict "session on $driver (COM$com, $dev)" check_sessions "$run/clean" "$run/reference/operator" \
            "$com" "$side" "operator-COM$com" conf.bin rules.bin packets.log firmware.log firmware.bin
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
        check_sessions "$run/udev" "$run/reference/udev" 3 USB "udev-first udev-again" conf.bin rules.bin packets.log
    verdict "udev: the link goes when the adapter is pulled out and comes back when it is plugged in" \
        check_udev_link "$run/udev"
    verdict "udev: pellomatic-ports lists the 8250 UART as COM2 and the adapter as COM3" \
        check_udev_table "$run/udev"
    finish
}

main "$@"
