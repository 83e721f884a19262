#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each one for
# SECONDS_PER_TARGET seconds (default 10) on a copy of its seed corpus.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Prints, per target, the executions and any finding (crash, sanitizer
# report, broken invariant, leak, time-out or memory exhaustion) with the
# input that caused it; exits non-zero when any target has a finding.
# The seed corpus in fuzz/corpus is never written to: the run works on a copy
# under the build folder, where new inputs and findings stay.
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (build jobs,
# default the number of cores), FUZZ_TIMEOUT (seconds one input may take
# before it counts as a hang, default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-10}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]" >&2
  exit 2
fi
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
jobs=${FUZZ_JOBS:-$(nproc)}
unit_timeout=${FUZZ_TIMEOUT:-10}

# clang, its sanitizer and libFuzzer runtimes (and the static checkers).
bash scripts/install-deps.sh checks

CC=clang CXX=clang++ cmake -S . -B "$build_dir" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DPELLOMATIC_FUZZ=ON -DPELLOMATIC_TESTS=OFF -DPELLOMATIC_WERROR=ON >/dev/null
# Every target, as fuzz/CMakeLists.txt lists them.
mapfile -t all_targets <"$build_dir/fuzz/targets.txt"
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
cmake --build "$build_dir" -j "$jobs" --target "${targets[@]}"

run_root="$build_dir/fuzz-run"
failed=()
total_execs=0
for target in "${targets[@]}"; do
  binary="$build_dir/bin/$target"
  seeds="$root/fuzz/corpus/$target"
  dict="$root/fuzz/dict/$target.dict"
  work="$run_root/$target"
  if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
    echo "fuzz.sh: no such target or corpus: $target" >&2
    exit 2
  fi
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -R "$seeds/." "$work/corpus/"
  args=(-max_total_time="$seconds" -timeout="$unit_timeout" -rss_limit_mb=2048
        -print_final_stats=1 -artifact_prefix="$work/artifacts/")
  [ -f "$dict" ] && args+=(-dict="$dict")

  # Absolute paths throughout: the console target works in a folder of its own.
  status=0
  "$binary" "${args[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  execs=${execs:-0}
  total_execs=$((total_execs + execs))
  findings=$(find "$work/artifacts" -type f | sort)
  if [ "$status" -eq 0 ] && [ -z "$findings" ]; then
    printf '%-20s %10s executions in %ss, no finding\n' "$target" "$execs" "$seconds"
  else
    failed+=("$target")
    printf '%-20s %10s executions in %ss, FINDING (exit status %s)\n' \
      "$target" "$execs" "$seconds" "$status"
    # The report: the fuzzer's and the sanitizer's lines about the fault.
    grep -E 'ERROR|FINDING|SUMMARY|runtime error|Test unit written|^    #[0-9]' "$work/log" \
      | head -n 40 | sed 's/^/    /'
    for file in $findings; do
      echo "    input: $file"
      echo "    replay: PELLOMATIC_FUZZ_VERBOSE=1 $binary $file"
    done
    echo "    full log: $work/log"
  fi
done

echo "fuzz.sh: ${#targets[@]} targets, $total_execs executions, ${seconds}s each"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in: ${failed[*]}" >&2
  exit 1
fi
