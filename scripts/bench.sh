#!/usr/bin/env bash
# The benchmarks: builds them in Release in build-bench, runs every one,
# prints one table and writes it to docs/PERFORMANCE.md with the machine, the
# date and the commands that reproduce it. Takes about three minutes on a
# 2-core machine (the paced firmware transfer alone is 96 s of line time).
# The benchmarks are not part of the test suite: nothing here runs in CI.
#
# Usage: bash scripts/bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
doc=$root/docs/PERFORMANCE.md
benches=(bench_serial bench_link bench_paced bench_parse)

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

# strace counts the system calls of a firmware record (bench_link item 8).
bash "$root/scripts/install-deps.sh" tests bench >&2

# The build has its own folder; COM<n> of its programs (and of the utility
# it starts, pellomatic-e2e) is build-bench/pty/COM<n>.
echo "bench: building in $build (Release)" >&2
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPELLOMATIC_WERROR=ON \
      >"$build/bench-configure.log" 2>&1 || { cat "$build/bench-configure.log" >&2; exit 1; }
if ! cmake --build "$build" -j2 --target "${benches[@]}" >"$build/bench-build.log" 2>&1; then
  tail -40 "$build/bench-build.log" >&2
  exit 1
fi

results=$build/bench-results
rm -rf "$results"
mkdir -p "$results"
status=0
for bench in "${benches[@]}"; do
  echo "bench: running $bench" >&2
  begun=$SECONDS
  if ! "$build/bin/$bench" >"$results/$bench.txt" 2>"$results/$bench.err"; then
    echo "bench: $bench failed:" >&2
    cat "$results/$bench.err" >&2
    status=1
  fi
  echo "bench: $bench took $((SECONDS - begun)) s" >&2
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

table() {
  echo "| Item | Measure | Result | Goal | Verdict |"
  echo "|---|---|---|---|---|"
  for bench in "${benches[@]}"; do
    grep '^|' "$results/$bench.txt" || true
  done
}
notes() {
  for bench in "${benches[@]}"; do
    grep '^- ' "$results/$bench.txt" || true
  done
}

cpu=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)
[ -n "$cpu" ] || cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)
compiler=$(c++ --version 2>/dev/null | head -1)
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)

table
echo
notes

mkdir -p "$(dirname "$doc")"
{
  echo "# Performance"
  echo
  echo "Written by \`bash scripts/bench.sh\`; run it again rather than editing this page."
  echo
  echo "## Machine and run"
  echo
  echo "- Date: $started"
  echo "- CPU: $cpu, $(nproc) cores; kernel $(uname -r)"
  echo "- Load average (1, 5, 15 min) at the start: $load_start; at the end: $load_end"
  echo "- Compiler: $compiler; build type Release, in build-bench"
  echo "- Source: commit $commit plus the working tree at that time"
  echo
  echo "## Results"
  echo
  table
  echo
  echo "Verdicts: item 1 on the p99, item 3 on the p99, item 4 on the mean, item 5 on the"
  echo "ratio measured / line time, item 7 on the p99 of the lateness and the largest CPU time."
  echo "Rows without a goal are baselines or throughput figures."
  echo
  echo "## What is measured"
  echo
  echo "1. \`read_port\` keeps one deadline (size x 10000 / R + limit + 10 ms): how late it"
  echo "   returns when nothing arrives, beside a bare \`ppoll\` of the same length (the"
  echo "   machine's own lateness), and how soon it hands over a byte that does arrive."
  echo "2. CPU time of a 2-second \`read_port\` that receives nothing (it sleeps, it does not spin)."
  echo "3. The host's turnaround from the device's ACK to its next packet or record: the"
  echo "   utility binary against a device the benchmark plays on a pseudo-terminal."
  echo "4. The host's own time per download packet and per firmware record, with the host"
  echo "   functions called in-process on their own thread and the device answering at once;"
  echo "   with the host thread's CPU time and the floors of the pseudo-terminal path."
  echo "5. Paced transfers against the time the line itself needs for their bytes: the"
  echo "   utility binary against \`pellomatic-sim --pace\`."
  echo "6. Throughput of the file readers over large files of valid lines."
  echo "7. A write whose drain never completes (a stalled line; the drain is held the way"
  echo "   tcdrain waits on one, since a pseudo-terminal drains at once): how late"
  echo "   \`write_port\` returns past its write limit, and the CPU time it spends meanwhile."
  echo
  echo "## Notes"
  echo
  notes
  echo
  echo "## Reproducing"
  echo
  echo '```sh'
  echo "bash scripts/bench.sh"
  echo '```'
  echo
  echo "or step by step, from the top of the checkout:"
  echo
  echo '```sh'
  echo "cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPELLOMATIC_WERROR=ON"
  echo "cmake --build build-bench -j2 --target ${benches[*]}"
  for bench in "${benches[@]}"; do
    echo "build-bench/bin/$bench"
  done
  echo '```'
  echo
  echo "Each program prints its rows of the table and its notes; files it generates and"
  echo "the utility's output are kept in build-bench/bench-tmp, the emulator's traces in"
  echo "build-bench/test-tmp. The programs use COM20 and COM31 to COM33 of build-bench/pty."
} >"$doc"
echo >&2
echo "bench: wrote $doc" >&2
exit $status
