#!/usr/bin/env bash
# The operator's demo: a whole session of the real utility against the device
# emulator. It builds what it needs, starts pellomatic-sim on a pseudo-terminal
# that the demo build reaches as COM3, and types, as an operator would:
# configure and rules from examples/, dconfigure, drules, connect, download,
# then a firmware update from examples/firmware.hex. It ends with the
# emulator's report and a check that the device received exactly the images
# and records that were sent. It leaves no process behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo=/tmp/pellomatic-demo-$(id -u)  # COM<n> of the demo build is $demo/COM<n>
build=$root/build-demo

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DPELLOMATIC_TESTS=OFF \
      "-DPELLOMATIC_PORT_TEMPLATE=$demo/COM{n}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target pellomatic pellomatic-sim >/dev/null

rm -rf "$demo"
mkdir -p "$demo/out"
sim_pid=
util_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$util_pid" ] && kill "$util_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

"$build/bin/pellomatic-sim" --link "$demo/COM3" --out "$demo/out" --quiet \
  >"$demo/sim.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$demo/COM3" ] && break; sleep 0.1; done
[ -L "$demo/COM3" ] || { echo "demo: the emulator did not start" >&2; cat "$demo/sim.txt" >&2; exit 1; }

# The operator's keyboard: a pipe the demo types into, line by line.
mkfifo "$demo/keys"
(cd "$root" && exec "$build/bin/pellomatic" <"$demo/keys" | tee "$demo/transcript.txt") &
util_pid=$!
exec 3>"$demo/keys"
type_line() { printf '%s\n' "$1" >&3; }

# Waits until the emulator has written a session's files into out/, then
# keeps them in out/<name>/.
keep_session() {
  local name=$1 marker=$2
  for _ in $(seq 600); do [ -f "$demo/out/$marker" ] && [ -f "$demo/out/report.txt" ] && break; sleep 0.1; done
  [ -f "$demo/out/$marker" ] || { echo "demo: the emulator wrote no $marker" >&2; exit 1; }
  sleep 0.2
  mkdir -p "$demo/$name"
  find "$demo/out" -maxdepth 1 -type f -exec mv {} "$demo/$name/" \;
}

type_line "configure examples/pellomatic.conf"
type_line "rules examples/pellomatic.rules"
type_line "dconfigure"
type_line "drules"
type_line "connect 3"
type_line "download"
keep_session download conf.bin
type_line "firmware 3 examples/firmware.hex"
type_line "y"
type_line ""          # Enter: the device is switched on by the emulator
keep_session firmware firmware.log
type_line "x"
exec 3>&-
status=0
wait "$util_pid" || status=$?
util_pid=
[ "$status" -eq 0 ] || { echo "demo: the utility ended with status $status" >&2; exit 1; }

echo
echo "==== What the emulated Pellomatic received: the download ===="
cat "$demo/download/report.txt"
echo
echo "==== What the emulated Pellomatic received: the firmware update ===="
cat "$demo/firmware/report.txt"

# The check: the records the loader received are the file's records, in
# order; the images have the sizes the utility announced.
echo
fail=0
if diff <(grep '^:' "$root/examples/firmware.hex" | tr -d '\r') "$demo/firmware/firmware.log" >/dev/null; then
  echo "demo: firmware: the device received exactly the $(grep -c '^:' "$root/examples/firmware.hex") records of examples/firmware.hex"
else
  echo "demo: firmware: the records received differ from the file" >&2; fail=1
fi
conf_size=$(stat -c %s "$demo/download/conf.bin")
rules_size=$(stat -c %s "$demo/download/rules.bin")
rules=$(sed -n 's/^.*Rules processed \([0-9]*\),.*$/\1/p' "$demo/transcript.txt" | head -n 1)
echo "demo: download: configuration image $conf_size bytes, rule image $rules_size bytes ($rules rules)"
[ "$conf_size" -eq 120 ] || { echo "demo: the configuration image is not 120 bytes" >&2; fail=1; }
[ "$rules_size" -eq $((rules * 28)) ] || { echo "demo: the rule image is not $rules records" >&2; fail=1; }
grep -q '^Anomalies  *none' "$demo/download/report.txt" || { echo "demo: the download report shows anomalies" >&2; fail=1; }
grep -q '^Anomalies  *none' "$demo/firmware/report.txt" || { echo "demo: the firmware report shows anomalies" >&2; fail=1; }
[ "$fail" -eq 0 ] && echo "demo: done, the session succeeded"
exit "$fail"
