#!/bin/busybox sh
# /init of the test guest: the utility on the kernel's own serial drivers.
# COM1 is the 8250 UART /dev/ttyS1, COM2 the FTDI adapter /dev/ttyUSB0; the
# device emulators sit on the host side of both lines. The console (ttyS0)
# carries the sessions' output and the "@@" lines of the protocol below;
# scripts/driver-tests.sh is the host side of it.
#
# The "@@" protocol. The guest writes every line on its console; the host
# logs each one, acts on the words below and ignores the rest. An answer is
# one line the host types on the console (not echoed), read by host_answer
# or by line_probe; a request without an answer does not wait. DIR is the
# stage's folder on the host ($run/STAGE of the script).
#
#   guest line            answer  what the host does
#   @@session NAME LINE   -       session NAME begins: its power requests go
#                                 to the emulator of LINE (S1: COM1, the
#                                 8250 UART; USB: COM2, the FTDI adapter)
#   | TEXT                -       a line of the utility's output (expect):
#                                 on "TURN ON" it power-cycles the current
#                                 session's emulator (SIGUSR1)
#   @@pull                go      once the USB emulator holds its answer
#                                 back ("held back" in its trace); the guest
#                                 then waits for the utility's read
#   @@reading             -       the utility waits in its read: notes the
#                                 time (NAME.pulled-at) and pulls the
#                                 adapter out (device_del, QEMU's monitor)
#   @@status NAME RC      -       session NAME's utility ended with RC:
#                                 notes the time (NAME.ended-at); the
#                                 checks read RC
#   @@resume              ok      resumes the stalled 8250 line (SIGUSR2 to
#                                 S1's emulator, "line resumed" in its trace)
#   @@rate COM<n> R: TEXT ok      line_probe holds COM<n> at R (TEXT: what
#                                 the port layer and the driver said): notes
#                                 the speed of its own end in DIR/rates
#   @@unplug              ok      pulls the adapter out (device_del)
#   @@plug                ok      plugs the adapter in again (device_add)
#   @@file NAME ... @@end -       the lines between are the guest's file
#                                 NAME in base64: after the stage it writes
#                                 them to DIR/guest/NAME
#   @@udev TEXT           -       what the udev stage saw: the checks read it
#   @@error TEXT          -       a step of the guest went wrong: left in
#                                 the console for whoever reads it
#   @@done                -       the stage is over: it stops reading, and
#                                 the guest powers off
/bin/busybox mkdir -p /bin /proc /sys /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
stage=$(sed -n 's/.*pello\.stage=\([a-z]*\).*/\1/p' /proc/cmdline)

for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod /modules/$m.ko || echo "@@error insmod $m"
done

# The adapter's device node appears when the kernel has bound the driver.
wait_usb() {
  n=0
  while [ ! -e /dev/ttyUSB0 ] && [ $n -lt 600 ]; do usleep 50000; n=$((n + 1)); done
  [ -e /dev/ttyUSB0 ] || { echo "@@error no /dev/ttyUSB0"; return 1; }
  chmod 666 /dev/ttyUSB0
}
wait_usb
chmod 666 /dev/ttyS1
mkdir -p /pello /out
ln -s /dev/ttyS1 /pello/COM1
ln -s /dev/ttyUSB0 /pello/COM2
printf 'root:x:0:0::/:/bin/sh\noperator:x:1000:1000::/:/bin/sh\n' >/etc/passwd
printf 'root:x:0:\noperator:x:1000:\n' >/etc/group
# What the host types on the console answers a request; it is not echoed.
stty -F /dev/console -echo
cd /

host_answer() { read -r _ </dev/console; }

# start NAME LINE [PROGRAM]: the utility (/bin/pellomatic unless PROGRAM)
# runs with its standard input on a pipe the session types into (say) and
# its output read back line by line (expect).
start() {
  name=$1
  dir=/out/$name
  mkdir -p "$dir"
  echo "@@session $name $2"
  mkfifo "$dir/in" "$dir/out"
  ( ${3:-/bin/pellomatic} <"$dir/in" 2>"$dir/stderr" &
    echo $! >"$dir/pid"
    wait $!
    echo $? >"$dir/status" ) | tee "$dir/transcript" >"$dir/out" &
  exec 3>"$dir/in" 4<"$dir/out"
  while [ ! -s "$dir/pid" ]; do usleep 10000; done
}
say() { printf '%s\n' "$1" >&3; }
# A session that went wrong: its utility is ended, so nothing waits on it.
abort() {
  kill "$(cat "$dir/pid")" 2>/dev/null
  finish
  send "$dir/transcript" "$dir/stderr" "$dir/probe" "$dir/second"
}
expect() {
  while IFS= read -r line <&4; do
    echo "| $line"
    case "$line" in *"$1"*) return 0 ;; esac
  done
  echo "@@error $name: no '$1'"
  return 1
}
# Ends the input, reads the output to its end, reports the status.
finish() {
  exec 3>&-
  while IFS= read -r line <&4; do echo "| $line"; done
  exec 4<&-
  echo "@@status $name $(cat "$dir/status")"
}
send() {  # FILE...
  for f in "$@"; do
    [ -f "$f" ] || continue
    echo "@@file ${f#/out/}"
    base64 "$f"
    echo "@@end"
  done
}
show() { line_probe show "$1" >>"$dir/probe" 2>&1; }
held() { line_probe held "$(cat "$dir/pid")" "$1" >>"$dir/probe" 2>&1; }

# The whole operator session on COM<n>, with the port looked at from the side
# while the utility holds it, and a second open by a user who is not root.
operator() {
  com=$1 dev=$2
  start "operator-COM$com" "$3"
  show "$dev"
  say "configure examples/pellomatic.conf"
  say "rules examples/pellomatic.rules"
  say "connect $com"
  expect "TURN ON" && expect "Connected at" || { abort; return; }
  held "$dev"
  printf 'connect %s\nx\n' "$com" |
    su operator -s /bin/sh -c /bin/pellomatic >"$dir/second" 2>&1
  echo "second open: status $?" >>"$dir/second"
  say "download"
  expect "Disconnected" || { abort; return; }
  say "firmware $com examples/firmware.hex"
  say "y"
  say ""
  expect "TURN ON" && expect "Disconnected" || { abort; return; }
  say "x"
  finish
  show "$dev"
  send "$dir/transcript" "$dir/stderr" "$dir/probe" "$dir/second"
}

# The rates the link never uses but the port layer accepts.
rates() {
  for com in 1 2; do
    for r in 14400 56000; do
      line_probe rate "COM$com" "$r" </dev/console
    done
  done
}

# The 8250 line stalled by the host side in the middle of a download; the
# next command runs after the line has resumed.
stall() {
  start stall-COM1 S1
  say "configure examples/pellomatic.conf"
  say "rules examples/pellomatic.rules"
  say "connect 1"
  expect "TURN ON" && expect "Connected at" || { abort; return; }
  say "download"
  expect "Disconnected" || { abort; return; }
  echo "@@resume"
  host_answer
  say "connect 1"
  expect "TURN ON" && expect "Connected at" || { abort; return; }
  say "disconnect"
  say "x"
  finish
  send "$dir/transcript" "$dir/stderr"
}

quit() {  # Ctrl-\ while the utility holds the 8250 line; then a user opens it
  # SIGQUIT at its default, as from an operator's shell (background jobs ignore it)
  start quit-COM1 S1 "/usr/bin/env --default-signal=QUIT /bin/pellomatic"
  show /dev/ttyS1
  say "connect 1"
  expect "Connected at" || { abort; return; }
  kill -QUIT "$(cat "$dir/pid")"
  finish
  show /dev/ttyS1
  su operator -s /bin/sh -c "/bin/line_probe show /dev/ttyS1" >>"$dir/probe" 2>&1
  send "$dir/transcript" "$dir/probe"
}

# The adapter pulled out while the utility waits for the device.
pull() {  # NAME, then what to type after connecting (or without connecting)
  start "$1" USB
  shift
  echo "@@pull"
  # Told "go", waits until the utility is in its read (ppoll, system call 271).
  ( read -r _ </dev/console
    until grep -q '^271 ' "/proc/$(cat "$dir/pid")/syscall"; do usleep 5000; done
    echo "@@reading" ) &
  watcher=$!
  for l in "$@"; do say "$l"; done
  expect "TURN ON"
  finish
  kill $watcher 2>/dev/null
  send "$dir/transcript" "$dir/stderr"
  echo "@@plug"
  host_answer
  wait_usb
}

# --- Debian's udev and pellomatic-ports ----------------------------------
# pellomatic-ports gives the adapter COM3; the utility with the package's
# templates reaches it as connect 3, before and after a pull and a plug.

# until_true N TEST...: polls for the test to hold, N / 20 s at most.
until_true() {
  n=0 limit=$1
  shift
  until "$@"; do [ $n -ge $limit ] && return 1; usleep 50000; n=$((n + 1)); done
}
link_of() { if [ -e "$1" ]; then readlink -f "$1"; else echo none; fi; }
usb_port() { basename "$(readlink -f /sys/class/tty/ttyUSB0/device/../..)"; }
udev_session() {  # NAME
  start "$1" USB /bin/pellomatic-pkg
  for l in "configure examples/pellomatic.conf" "rules examples/pellomatic.rules" "connect 3"; do
    say "$l"
  done
  expect "TURN ON" && expect "Connected at" || { abort; return; }
  say "download"
  expect "Disconnected" || { abort; return; }
  say "x"
  finish
  send "$dir/transcript" "$dir/stderr"
}

udev_stage() {
  u=/out/udev; mkdir -p $u
  mount -t tmpfs run /run
  printf 'dialout:x:20:\n' >>/etc/group
  /lib/systemd/systemd-udevd --daemon 2>$u/udevd.log || echo "@@udev udevd did not start"
  udevadm trigger --action=add 2>>$u/udevd.log
  udevadm settle --timeout=30 || echo "@@udev the first events did not settle"
  for a in idVendor idProduct manufacturer product serial; do
    echo "@@udev $a=$(cat "/sys/bus/usb/devices/$(usb_port)/$a" 2>/dev/null || echo '(none)')"
  done
  pellomatic-ports >$u/table-before 2>&1
  { pellomatic-ports assign 3 /dev/ttyUSB0; echo "status $?"; } >$u/assign 2>&1
  cp /etc/udev/rules.d/99-pellomatic-COM3.rules $u/rule
  echo "@@udev assigned: COM3 $(link_of /dev/pellomatic/COM3) (USB port $(usb_port))"
  send $u/table-before $u/assign $u/rule
  udev_session udev-first
  echo "@@unplug"
  host_answer
  until_true 800 [ ! -e /dev/ttyUSB0 ] && until_true 800 [ ! -e /dev/pellomatic/COM3 ]
  echo "@@udev pulled: COM3 $(link_of /dev/pellomatic/COM3)"
  # QEMU refuses a plug while it holds the line of the adapter just pulled
  # and tells no one when it lets go: ask until it is there (extras fail).
  tries=0
  until [ -e /dev/ttyUSB0 ] || [ $tries -ge 15 ]; do
    echo "@@plug"
    host_answer
    tries=$((tries + 1))
    until_true 60 [ -e /dev/ttyUSB0 ]
  done
  until_true 800 [ -e /dev/pellomatic/COM3 ] || ls -l /dev/ttyUSB* /dev/serial/by-id
  udevadm settle --timeout=30
  echo "@@udev plugged: COM3 $(link_of /dev/pellomatic/COM3) (USB port $(usb_port), $tries plugs)"
  udev_session udev-again
  pellomatic-ports >$u/table-after 2>&1
  send $u/table-after $u/udevd.log
}

case "$stage" in
clean)
  operator 1 /dev/ttyS1 S1
  operator 2 /dev/ttyUSB0 USB
  rates
  ;;
faults)
  pull pull-download "configure examples/pellomatic.conf" "rules examples/pellomatic.rules" \
    "connect 2" "download"
  pull pull-firmware "firmware 2 examples/firmware.hex" "y" ""
  stall
  quit
  ;;
udev)
  udev_stage
  ;;
esac
echo "@@done"
poweroff -f
