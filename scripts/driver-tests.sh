#!/usr/bin/env bash
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
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELLO_DRIVER_BUILD:-$root/build-drivers}
run=$build/run
started=$SECONDS
# The kernel whose drivers are tried; when the archive no longer has it, the
# newest 6.1 kernel it has.
kernel_pin=linux-image-6.1.0-57-amd64
# Generous outer limits of the waits: a stalled step ends the run, not CI.
boot_limit=300
line_limit=60

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

sim_pids=()
qemu_pid=
mon_pid=
cleanup() {
    local pid
    [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
    [ -n "$mon_pid" ] && kill "$mon_pid" 2>/dev/null
    for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${sim_pids[@]}" $qemu_pid $mon_pid; do wait "$pid" 2>/dev/null; done
    sim_pids=() qemu_pid= mon_pid=
}
trap cleanup EXIT

# --- Packages, kernel, builds ----------------------------------------------

bash "$root/scripts/install-deps.sh" drivers >/dev/null ||
    cannot "the packages could not be installed (scripts/install-deps.sh drivers)"
command -v qemu-system-x86_64 >/dev/null || cannot "qemu-system-x86_64 is missing"
[ -x /bin/busybox ] || cannot "busybox is missing"

mkdir -p "$build/kernel" "$run"
kdir=$build/kernel
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
vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* | head -n 1)
moddir=$(ls -d "$kdir"/root/lib/modules/* | head -n 1)

# One static build: the utility, the probe and the emulator. COM<n> is
# pello/COM<n> from the working folder, which the guest links to its devices
# and the host to the emulators of the reference sessions.
static=$build/static
{
    cmake -S "$root" -B "$static" -DPELLOMATIC_TESTS=OFF -DPELLOMATIC_WERROR=ON \
        -DPELLOMATIC_DRIVER_PROBE=ON "-DPELLOMATIC_PORT_TEMPLATE=pello/COM{n}" \
        -DCMAKE_EXE_LINKER_FLAGS=-static &&
    cmake --build "$static" -j2 --target pellomatic line_probe pellomatic-sim \
        pellomatic-pkg pellomatic-ports-pkg
} >"$run/build.log" 2>&1 || { note "the static build failed (see $run/build.log)"; failed=$((failed + 1)); finish; }
bin=$static/bin

# The initramfs: busybox, the two programs, the modules, the examples, /init.
img=$run/initramfs
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

# Debian's udev, unpacked from its package like the kernel, and GNU env (it
# starts a session's utility with SIGQUIT at its default action, which the
# guest's shell ignores in its background jobs), with the libraries they need
# copied from this machine's own Debian system; the utility and
# pellomatic-ports with the package's port templates beside it.
udir=$build/udev
mkdir -p "$udir"
if ! ls "$udir"/udev_*.deb >/dev/null 2>&1; then
    (cd "$udir" && apt-get download udev) >"$udir/download.log" 2>&1 ||
        cannot "apt-get download udev failed (see $udir/download.log)"
fi
if [ ! -x "$udir/root/bin/udevadm" ]; then
    dpkg-deb -x "$(ls "$udir"/udev_*.deb | head -n 1)" "$udir/root" || cannot "cannot unpack udev"
fi
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
note "kernel $(basename "$deb"), builds and initramfs ready after $((SECONDS - started))s"

# --- The guest and its emulators --------------------------------------------

# The emulated FTDI adapter, with a serial number of its own as a real one
# has: QEMU's default is made of the USB port, which a plug after a pull may
# change (the udev rule of pellomatic-ports is keyed to it).
usb_adapter=usb-serial,chardev=u0,id=usbser,serial=PELLO001

declare -A sim_pid sim_log
# start_sim LINE DIR OPTIONS...: an emulator linked at DIR/line, powered only
# on request.
start_sim() {
    local line=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    "$bin/pellomatic-sim" --link "$dir/line" --out "$dir/out" --log "$dir/sim.log" \
        --manual-power --loader-wait 2000 --quiet "$@" >"$dir/sim.out" 2>&1 </dev/null &
    sim_pid[$line]=$!
    sim_log[$line]=$dir/sim.log
    sim_pids+=($!)
    local i
    for ((i = 0; i < 500; i++)); do [ -L "$dir/line" ] && return 0; sleep 0.01; done
    return 1
}

# wait_trace FILE OFFSET TEXT: waits for TEXT in FILE after OFFSET bytes.
wait_trace() {
    local fd pid rc
    exec {fd}< <(exec timeout "$line_limit" tail -c +"$(($2 + 1))" -F "$1" 2>/dev/null)
    pid=$!
    grep -m1 -q -F -- "$3" <&"$fd"
    rc=$?
    kill "$pid" 2>/dev/null
    exec {fd}<&-
    return $rc
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
now() { printf '%s' "$EPOCHREALTIME"; }

# The stage's helpers share the variables of boot (bash scope is dynamic):
# the descriptors keys (the guest's console input), con (its console output)
# and mon (QEMU's monitor), and booted (the guest has printed a line).

# start_emulators DIR OPTIONS_S1 OPTIONS_USB: the emulators of both lines.
start_emulators() {
    local dir=$1
    local -a s1_opts usb_opts
    read -r -a s1_opts <<<"$2"
    read -r -a usb_opts <<<"$3"
    start_sim S1 "$dir/S1" "${s1_opts[@]}" && start_sim USB "$dir/USB" "${usb_opts[@]}" ||
        cannot "the device emulators did not start"
}

# start_guest STAGE DIR: QEMU on the emulators' lines, its console and
# monitor on fifos in DIR.
start_guest() {
    local stage=$1 dir=$2
    mkfifo "$dir/console.fifo" "$dir/keys.fifo" "$dir/mon.in" "$dir/mon.out"
    cat "$dir/mon.out" >"$dir/monitor.log" &
    mon_pid=$!
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
    qemu_pid=$!
}

# serve_guest STAGE DIR: the guest's console, line by line into DIR/console,
# each line answered, until @@done or a line limit without a line.
serve_guest() {
    local stage=$1 dir=$2 line current= session= pull_pid=
    while IFS= read -r -t "$line_limit" line <&"$con"; do
        line=${line%$'\r'}
        printf '%s\n' "$line" >>"$dir/console"
        if ((!booted)); then
            note "guest $stage booted after $((SECONDS - started))s"
            booted=1
        fi
        answer_guest "$line" || break
    done
}

# answer_guest LINE: does what a line of the guest asks (the "@@" protocol,
# written down at the top of tests/drivers/guest-init.sh); fails on @@done.
# The session (current: its line, session: its name) and the pull waiting
# for its "go" (pull_pid) are serve_guest's.
answer_guest() {
    local line=$1
    case "$line" in
    "@@session "*)
        current=${line##* }
        session=${line#@@session }
        session=${session%% *} ;;
    "| "*"TURN ON"*)
        [ -n "$current" ] && kill -USR1 "${sim_pid[$current]}" ;;
    "@@pull")
        # Once the emulator holds its answer back, the guest looks for the
        # utility waiting in its read (not still draining its write).
        local log=${sim_log[USB]} from
        from=$(size_of "$log")
        (
            wait_trace "$log" "$from" "held back" || exit 1
            printf 'go\n' >&"$keys"
        ) &
        pull_pid=$! ;;
    "@@reading")
        # Then the adapter goes.
        now >"$dir/$session.pulled-at"
        printf 'device_del usbser\n' >&"$mon" ;;
    "@@status "*)
        local ended=${line#@@status }
        now >"$dir/${ended%% *}.ended-at"
        [ -n "$pull_pid" ] && { wait "$pull_pid"; pull_pid=; } ;;
    "@@unplug")
        printf 'device_del usbser\n' >&"$mon"
        printf 'ok\n' >&"$keys" ;;
    "@@plug")
        printf 'device_add %s\n' "$usb_adapter" >&"$mon"
        printf 'ok\n' >&"$keys" ;;
    "@@resume")
        local from
        from=$(size_of "${sim_log[S1]}")
        kill -USR2 "${sim_pid[S1]}"
        wait_trace "${sim_log[S1]}" "$from" "line resumed"
        printf 'ok\n' >&"$keys" ;;
    "@@rate "*)
        local words
        read -r -a words <<<"$line"
        local side=S1
        [ "${words[1]}" = COM2 ] && side=USB
        printf '%s %s host-side %s\n' "${words[1]}" "${words[2]%:}" \
            "$(stty -F "$dir/$side/line" speed 2>&1)" >>"$dir/rates"
        printf 'ok\n' >&"$keys" ;;
    "@@done")
        return 1 ;;
    esac
    return 0
}

# stop_guest DIR: QEMU ended (at once when the guest did not reach @@done)
# and its monitor; QEMU's exit status in guest_status.
stop_guest() {
    local dir=$1
    # A guest that stopped answering (no line within the limit) is ended now.
    grep -q '^@@done' "$dir/console" 2>/dev/null || kill "$qemu_pid" 2>/dev/null
    exec {keys}>&- {mon}>&-
    wait "$qemu_pid" 2>/dev/null
    guest_status=$?
    exec {con}<&-
    qemu_pid=
    kill "$mon_pid" 2>/dev/null
    wait "$mon_pid" 2>/dev/null
    mon_pid=
}

# stop_emulators: the emulators write what their last sessions received
# when they end.
stop_emulators() {
    local pid
    for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null; done
    sim_pids=()
}

# judge_boot STAGE DIR STATUS: a guest that did not reach @@done fails the
# run; one that printed nothing at all means QEMU cannot run here.
judge_boot() {
    local stage=$1 dir=$2 status=$3
    grep -q '^@@done' "$dir/console" && return
    if [ "$booted" = 0 ]; then
        cannot "the guest printed nothing (QEMU status $status; see $dir/qemu.err)"
    fi
    note "guest $stage stopped before its end (QEMU status $status; see $dir/console)"
    failed=$((failed + 1))
}

# boot STAGE OPTIONS_S1 OPTIONS_USB: runs the guest's STAGE, answering its
# requests; the console (without carriage returns) ends in $run/STAGE/console.
boot() {
    local stage=$1 dir=$run/$1
    rm -rf "$dir"
    mkdir -p "$dir"
    start_emulators "$dir" "$2" "$3"
    start_guest "$stage" "$dir"
    local keys con mon booted=0 guest_status
    exec {keys}>"$dir/keys.fifo" {con}<"$dir/console.fifo" {mon}>"$dir/mon.in"
    serve_guest "$stage" "$dir"
    stop_guest "$dir"
    stop_emulators
    judge_boot "$stage" "$dir" "$guest_status"
    unpack "$dir"
}

# The files the guest sent, into DIR/guest/.
unpack() {
    local dir=$1 name= line
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
# pseudo-terminal, powered when the utility opens the port.
reference() {
    local dir=$run/reference/$1 input=$2
    rm -rf "$dir"
    mkdir -p "$dir/work/pello"
    cp -r "$root/examples" "$dir/work/"
    "$bin/pellomatic-sim" --link "$dir/work/pello/COM1" --out "$dir/out" --log "$dir/sim.log" \
        --quiet >"$dir/sim.out" 2>&1 </dev/null &
    local pid=$! i
    sim_pids+=($pid)
    for ((i = 0; i < 500; i++)); do [ -L "$dir/work/pello/COM1" ] && break; sleep 0.01; done
    (cd "$dir/work" && printf '%s' "$input" | timeout "$line_limit" "$bin/pellomatic") \
        >"$dir/transcript" 2>"$dir/stderr"
    echo $? >"$dir/status"
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    sim_pids=()
}

# --- Checks -----------------------------------------------------------------

problems=()
check() {  # NAME: the verdict on the problems gathered since the last one
    if ((${#problems[@]} == 0)); then
        passed=$((passed + 1))
        note "$1: ok"
    else
        failed=$((failed + 1))
        note "$1: FAILED"
        printf '    %s\n' "${problems[@]}"
    fi
    problems=()
}
bel=$'\a'
# The firmware progress line carries elapsed seconds: compare without it.
steady() { sed -E 's/\r[ 0-9]+s TTC [^\r]*//g' "$1"; }
same() {  # what, file, file
    if [ ! -f "$2" ]; then
        problems+=("$1: $2 is missing")
    elif ! cmp -s "$2" "$3"; then
        problems+=("$1 differs from the pseudo-terminal's ($2, $3)")
    fi
}
has_line() {  # file, exact line
    grep -qxF -- "$2" "$1" 2>/dev/null || problems+=("no line '$2' in $1")
}
has_match() {  # file, extended regular expression, what
    grep -qE -- "$2" "$1" 2>/dev/null || problems+=("$3 (in $1)")
}
field() {  # line, name: the value of name=value in a probe line
    sed -nE "s/.* $2=([^ ]*).*/\1/p" <<<"$1"
}

# The operator session on COM<n> of the guest, against the reference.
operator_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nfirmware 1 examples/firmware.hex\ny\n\nx\n'
reference operator "$operator_input"

boot clean "" ""
boot faults "--stall-at 1" "--delay-at 3:60000 --ident-delay 60000"
udev_input=$'configure examples/pellomatic.conf\nrules examples/pellomatic.rules\nconnect 1\ndownload\nx\n'
reference udev "$udev_input"
boot udev "" ""

ref=$run/reference/operator
for com in 1 2; do
    case $com in 1) side=S1 driver=8250 dev=/dev/ttyS1 ;; 2) side=USB driver=ftdi_sio dev=/dev/ttyUSB0 ;; esac
    g=$run/clean/guest/operator-COM$com
    # 1. The session: transcript and what the emulator received.
    [ "$(cat "$ref/status")" = 0 ] || problems+=("the reference session ended with $(cat "$ref/status")")
    if [ -f "$g/transcript" ]; then
        steady "$ref/transcript" | sed "s/COM1/COM$com/g; s/connect 1/connect $com/g" >"$g/reference.steady"
        steady "$g/transcript" >"$g/transcript.steady"
        same "transcript" "$g/transcript.steady" "$g/reference.steady"
    else
        problems+=("no transcript from the guest")
    fi
    out=$run/clean/$side/out
    grep -q '^@@status operator-COM'"$com"' 0$' "$run/clean/console" || problems+=("the utility did not end with status 0")
    for f in conf.bin rules.bin packets.log firmware.log firmware.bin; do
        same "$f" "$out/$f" "$ref/out/$f"
    done
    check "session on $driver (COM$com, $dev)"

    # 2. DTR, RTS and low latency while connected; back as found; a second open.
    mapfile -t probe <"$g/probe" 2>/dev/null
    if ((${#probe[@]} != 3)); then
        problems+=("the probe gave ${#probe[@]} lines, not 3: ${probe[*]}")
    else
        before=${probe[0]} held=${probe[1]} after=${probe[2]}
        [ "$(field "$held" dtr)" = 0 ] || problems+=("DTR not low while connected: $held")
        [ "$(field "$held" rts)" = 0 ] || problems+=("RTS not low while connected: $held")
        [ "$(field "$held" low_latency)" = 1 ] || problems+=("low latency not set while connected: $held")
        for k in speed iflag oflag cflag lflag low_latency; do
            [ "$(field "$before" "$k")" = "$(field "$after" "$k")" ] ||
                problems+=("$k not back as found after the close: before '$before', after '$after'")
        done
        note "    found:     ${before#*: }"
        note "    connected: ${held#*: }"
        note "    closed:    ${after#*: }"
    fi
    has_line "$g/second" "${bel}${bel}Error: cannot open COM port COM$com: Device or resource busy"
    has_line "$g/second" "${bel}${bel}Error: could not open COM port COM$com"
    check "port state on $driver (COM$com): modem lines, low latency, restored, second open"

    # 3. The rates the link does not use.
    for r in 14400 56000; do
        line=$(grep -F "@@rate COM$com $r:" "$run/clean/console")
        host=$(grep -F "COM$com $r host-side" "$run/clean/rates" 2>/dev/null | awk '{print $4}')
        [[ "$line" == *"open_port 0,"* ]] || problems+=("$r not accepted: ${line:-no answer}")
        note "    $r: ${line#*: }; the host's end of the line runs at ${host:-?}"
    done
    check "14400 and 56000 on $driver (COM$com)"
done

# 4. The 8250 line stalled in the middle of a download.
g=$run/faults/guest/stall-COM1
t=$g/transcript
has_match "$t" "(^|Command> )${bel}${bel}Error: wrote [0-9]+ of [0-9]+, got error on port COM1: .+" \
    "no short-write message"
has_match "$t" ": -3$" "no -3 from the write"
has_match "$t" "Download failed" "the download was not reported as failed"
[ "$(grep -c "^${bel}Connected at 9600" "$t" 2>/dev/null)" = 2 ] ||
    problems+=("the connect after the stall did not succeed")
grep -q '^@@status stall-COM1 0$' "$run/faults/console" || problems+=("the utility did not end with status 0")
# What the emulator received between the resume and the next power-up: what
# the port layer threw away must not arrive. One byte may: the one the UART
# was already shifting out when the line stalled (the emulated 16550 hands it
# to the far end as its transmitter would), which no flush can reach.
# The count is the bytes that left the port, fewer than the write's. The
# write ended within its bound (the write limit at 9600 and 200 ms): the
# emulator's span from the stall to the resume holds it, and the guest's
# way to the resume besides, so the span can only be longer.
wrote=$(grep -oE "Error: wrote [0-9]+ of [0-9]+" "$t" 2>/dev/null | head -n 1)
read -r _ _ n _ m <<<"${wrote:-x x 0 x 0}"
((n < m)) || problems+=("the short write counts $n of $m")
span=$(awk '/line stalled/ { s = $1 } /line resumed/ { r = $1 } END { if (s && r) printf "%d", (r - s) * 1000 }' \
       "$run/faults/S1/sim.log")
bound=$((m * 2 + 10 + 200))
note "    the write of $m bytes ended with $n out; stall to resume ${span:-?} ms (bound $bound ms)"
((${span:-999999} < bound + 1500)) || problems+=("stall to resume ${span:-?} ms: not within the bound $bound ms and 1.5 s")
stale=$(sed -n '/line resumed/,/power on/p' "$run/faults/S1/sim.log" | grep -E '^ *[0-9.]+ recv ' || true)
stale_count=$(printf '%s\n' "$stale" | awk '$2 == "recv" { n += $3 + 0 } END { print n + 0 }')
[ "$stale_count" -le 1 ] || problems+=("stale bytes went out after the line resumed: $stale")
[ -z "$stale" ] || note "    after the resume the far end got the byte the UART held: ${stale#*recv }"
check "8250 line stalled mid-download (COM1)"

# 5. The adapter pulled out.
for name in pull-download pull-firmware; do
    g=$run/faults/guest/$name
    grep -q "^@@status $name 3$" "$run/faults/console" || problems+=("the utility did not end with status 3")
    mapfile -t err <"$g/stderr" 2>/dev/null
    [[ "${err[0]:-}" =~ ^${bel}${bel}Error:\ could\ not\ read\ on\ COM\ port\ COM2:\ .+$ ]] ||
        problems+=("standard error line 1: '${err[0]:-}'")
    [[ "${err[1]:-}" =~ ^Return\ code\ 26,\ system\ error\ code\ [0-9]+$ ]] ||
        problems+=("standard error line 2: '${err[1]:-}'")
    # From the pull to the end: the read fails at once (a read that ran out
    # instead would not end the program), then fatal_exit waits its 5 s.
    # Measured from before the request, so the span is never short.
    if [ -f "$run/faults/$name.pulled-at" ] && [ -f "$run/faults/$name.ended-at" ]; then
        span=$(awk -v a="$(cat "$run/faults/$name.pulled-at")" -v b="$(cat "$run/faults/$name.ended-at")" \
               'BEGIN { printf "%.2f", b - a }')
        note "    ended ${span}s after the pull"
        awk -v s="$span" 'BEGIN { exit !(s >= 5.0 && s <= 20.0) }' ||
            problems+=("ended ${span}s after the pull: not within 5 s (fatal_exit) to 20 s")
    else
        problems+=("the pull or the end was not seen")
    fi
    check "USB adapter pulled out: $name (COM2)"
done

# 6. SIGQUIT (Ctrl-\) ends the utility while it holds the 8250 line.
g=$run/faults/guest/quit-COM1
grep -q '^@@status quit-COM1 131$' "$run/faults/console" || problems+=("the utility did not end by SIGQUIT (131)")
mapfile -t probe <"$g/probe" 2>/dev/null
if ((${#probe[@]} != 3)); then
    problems+=("the probe gave ${#probe[@]} lines, not 3: ${probe[*]}")
else
    before=${probe[0]} after=${probe[1]}
    for k in speed iflag oflag cflag lflag low_latency; do
        [ "$(field "$before" "$k")" = "$(field "$after" "$k")" ] ||
            problems+=("$k not back as found after SIGQUIT: before '$before', after '$after'")
    done
    [[ "${probe[2]}" == "show /dev/ttyS1: speed="* ]] || problems+=("not served to a user who is not root: ${probe[2]}")
fi
check "8250 line put back when SIGQUIT ends the utility (COM1)"

# 7. Debian's udev in the guest: the COM3 link of pellomatic-ports.
u=$run/udev
g=$u/guest/udev
grep '^@@udev ' "$u/console" | sed 's/^@@udev /    /'
has_line "$g/assign" "status 0"
has_match "$g/assign" '^COM3 is /dev/ttyUSB0, keyed to its serial number ' "assign did not key the rule to the serial number"
serial=$(sed -n 's/^@@udev serial=//p' "$u/console")
[ -n "$serial" ] || problems+=("the kernel reports no serial number of the emulated adapter")
has_line "$g/rule" "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"$(sed -n 's/^@@udev idVendor=//p' "$u/console")\", ATTRS{idProduct}==\"$(sed -n 's/^@@udev idProduct=//p' "$u/console")\", ATTRS{serial}==\"$serial\", SYMLINK+=\"pellomatic/COM3\", GROUP=\"dialout\", MODE=\"0660\""
has_match "$u/console" "^@@udev assigned: COM3 /dev/ttyUSB0 " "the link was not made"
check "udev: pellomatic-ports assign 3 /dev/ttyUSB0 keys the rule to the adapter's serial number"

ref=$run/reference/udev
for name in udev-first udev-again; do
    if [ -f "$u/guest/$name/transcript" ]; then
        sed "s/COM1/COM3/g; s/connect 1/connect 3/g" "$ref/transcript" >"$u/guest/$name/reference"
        same "transcript" "$u/guest/$name/transcript" "$u/guest/$name/reference"
    else
        problems+=("no transcript of $name")
    fi
    grep -q "^@@status $name 0$" "$u/console" || problems+=("$name: the utility did not end with status 0")
done
for f in conf.bin rules.bin packets.log; do same "$f" "$u/USB/out/$f" "$ref/out/$f"; done
check "udev: a session on connect 3 through /dev/pellomatic/COM3, before and after a pull"

has_line "$u/console" "@@udev pulled: COM3 none"
has_match "$u/console" "^@@udev plugged: COM3 /dev/ttyUSB0 " "the link did not come back"
check "udev: the link goes when the adapter is pulled out and comes back when it is plugged in"

sed 's/^/    /' "$g/table-after" 2>/dev/null
has_match "$g/table-before" '^- +/dev/ttyUSB0 +ftdi_sio ' "before: the adapter is not among the devices no COM number reaches"
has_match "$g/table-after" '^COM2 +/dev/ttyS1 +/dev/ttyS1 +[a-z0-9_]+$' "COM2 is not the 8250 UART /dev/ttyS1"
has_match "$g/table-after" "^COM3 +/dev/pellomatic/COM3 +/dev/ttyUSB0 +ftdi_sio +.*, serial $serial\$" "COM3 is not the adapter"
has_line "$g/table-after" "Serial devices that no COM number reaches: none"
check "udev: pellomatic-ports lists the 8250 UART as COM2 and the adapter as COM3"

finish
