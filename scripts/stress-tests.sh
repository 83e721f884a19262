#!/usr/bin/env bash
# Runs the test suite, normal and under AddressSanitizer and
# UndefinedBehaviorSanitizer, several times while every core is kept busy by
# other processes, with ctest running as many tests at once as there are
# cores (as CI does). Run it before a change that touches timing: a test that
# fails here once can fail CI by chance.
#
#   bash scripts/stress-tests.sh [ROUNDS]      (default 5 rounds of each build)
#   bash scripts/stress-tests.sh --drivers [ROUNDS]
#
# Uses the build trees build/ and build-sanitize/ of this checkout, building
# them first. Prints a line per run and, at the end, every test that failed
# with how often; exits 1 when any run failed.
#
# With --drivers it runs the checks on the real serial drivers
# (scripts/driver-tests.sh, a few minutes each) instead, with a parallel
# build of its own (build-load/, built from clean again and again) beside
# the busy processes, and lists every check that failed.
set -euo pipefail
cd "$(dirname "$0")/.."

drivers=0
if [ "${1:-}" = --drivers ]; then drivers=1; shift; fi
rounds=${1:-5}
case "$rounds" in ''|*[!0-9]*) echo "usage: $0 [--drivers] [ROUNDS]" >&2; exit 2 ;; esac
jobs=$(nproc)

if [ "$drivers" = 1 ]; then
  load=()
  stop_load() { [ ${#load[@]} -eq 0 ] || kill -- "${load[@]}" 2>/dev/null || true; }
  trap stop_load EXIT
  for _ in $(seq "$jobs"); do
    ( while :; do :; done ) &
    load+=("$!")
  done
  cmake -S . -B build-load -DPELLOMATIC_TESTS=OFF >/dev/null
  # Its own process group, so that the whole build ends with it.
  setsid bash -c 'while :; do cmake --build build-load --clean-first -j "$1" >/dev/null 2>&1; done' \
    _ "$jobs" &
  load+=("-$!")
  logs=$(mktemp -d)
  failed_runs=0
  for round in $(seq "$rounds"); do
    log="$logs/drivers.$round.log"
    start=$(date +%s)
    if bash scripts/driver-tests.sh >"$log" 2>&1; then verdict=passed; else
      verdict=FAILED
      failed_runs=$((failed_runs + 1))
    fi
    printf 'driver stage round %d: %s in %ds: %s\n' "$round" "$verdict" "$(( $(date +%s) - start ))" \
      "$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" || echo 'no summary')"
  done
  stop_load
  echo "---- driver checks that failed under load"
  grep -h -E ': FAILED$|^guest .* stopped|^QEMU cannot' "$logs"/*.log | sort | uniq -c | sort -rn || echo "none"
  echo "logs: $logs"
  [ "$failed_runs" -eq 0 ]
  exit
fi

bash scripts/install-deps.sh tests
cmake -S . -B build -DPELLOMATIC_WERROR=ON >/dev/null
cmake --build build -j "$jobs" >/dev/null
cmake -S . -B build-sanitize -DPELLOMATIC_WERROR=ON -DPELLOMATIC_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs" >/dev/null

# The load: one busy process per core, for as long as the runs last.
load=()
stop_load() { [ ${#load[@]} -eq 0 ] || kill "${load[@]}" 2>/dev/null || true; }
trap stop_load EXIT
for _ in $(seq "$jobs"); do
  ( while :; do :; done ) &
  load+=("$!")
done

logs=$(mktemp -d)
failed_runs=0
for round in $(seq "$rounds"); do
  for tree in build build-sanitize; do
    log="$logs/$tree.$round.log"
    start=$(date +%s)
    if ctest --test-dir "$tree" --output-on-failure -j "$jobs" >"$log" 2>&1; then
      verdict=passed
    else
      verdict=FAILED
      failed_runs=$((failed_runs + 1))
    fi
    printf '%-15s round %d: %s in %ds: %s\n' "$tree" "$round" "$verdict" "$(( $(date +%s) - start ))" \
      "$(grep -E 'tests passed, .* failed out of' "$log" || echo 'no summary')"
  done
done
stop_load

echo "---- tests that failed under load"
grep -h -E '^[[:space:]]*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$logs"/*.log \
  | sed -E 's/^[[:space:]]*[0-9]+ - //' | sort | uniq -c | sort -rn || echo "none"
echo "logs: $logs"
[ "$failed_runs" -eq 0 ]
