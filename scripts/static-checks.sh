#!/usr/bin/env bash
# Static checks of the utility, the emulator and pellomatic-ports: clang-tidy
# (configuration in .clang-tidy) and cppcheck (suppressions in
# scripts/cppcheck-suppressions.txt) over src/, sim/ and ports/, and
# clang-format (.clang-format) over every C++ file.
# Prints every finding with file:line and exits non-zero when there is one.
#
#   scripts/static-checks.sh
#
# Environment: STATIC_BUILD_DIR, the folder configured for the compile
# commands clang-tidy needs (default build-static; nothing is built there),
# STATIC_JOBS (parallel clang-tidy runs, default the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=${STATIC_BUILD_DIR:-build-static}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
jobs=${STATIC_JOBS:-$(nproc)}

bash scripts/install-deps.sh checks

# Only the compile commands are needed: configure, do not build. clang as the
# compiler, so that every flag in them is one clang-tidy understands.
CC=clang CXX=clang++ cmake -S . -B "$build_dir" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPELLOMATIC_TESTS=OFF >/dev/null

# The sources this platform builds, as the compile commands list them (the
# Win32 port backend, for one, is not built here and has no commands).
mapfile -t sources < <(sed -n 's/^ *"file": *"\(.*\)",\{0,1\}$/\1/p' "$build_dir/compile_commands.json" |
                       awk -v r="$root/" 'index($0, r "src/") == 1 || index($0, r "sim/") == 1 || index($0, r "ports/") == 1' |
                       sort -u)
if [ ${#sources[@]} -eq 0 ]; then
  echo "static-checks: no sources of src/ or sim/ in $build_dir/compile_commands.json" >&2
  exit 2
fi
status=0

echo "== clang-tidy ($(clang-tidy --version | sed -n 's/.*version \([0-9.]*\).*/\1/p' | head -n 1)), ${#sources[@]} files"
tidy_log="$build_dir/clang-tidy.log"
# One file per run, so that each file's report stays together; the exit
# status of every run counts.
if ! printf '%s\n' "${sources[@]}" |
     xargs -P "$jobs" -I{} sh -c 'clang-tidy -p "$1" --quiet "$2" 2>/dev/null' _ "$build_dir" {} \
     >"$tidy_log"; then
  status=1
fi
# The findings themselves, each once (a header's finding is reported by every
# file that includes it).
tidy_findings=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$tidy_log" | sort -u || true)
if [ -n "$tidy_findings" ]; then
  echo "$tidy_findings"
  echo "clang-tidy: $(echo "$tidy_findings" | wc -l) findings (details: $tidy_log)"
  status=1
elif [ "$status" -ne 0 ]; then
  cat "$tidy_log"
  echo "clang-tidy: failed (see above)"
else
  echo "clang-tidy: no findings"
fi

echo "== cppcheck ($(cppcheck --version))"
if ! cppcheck --enable=warning,performance,portability --error-exitcode=1 \
     --std=c++20 --language=c++ --library=posix --inline-suppr --quiet \
     --suppressions-list=scripts/cppcheck-suppressions.txt \
     --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
     -I src -j "$jobs" src sim ports; then
  echo "cppcheck: findings (above)"
  status=1
else
  echo "cppcheck: no findings"
fi

echo "== clang-format (.clang-format)"
mapfile -t laid_out < <(git ls-files '*.cpp' '*.hpp')
if ! clang-format --dry-run --Werror "${laid_out[@]}" 2>"$build_dir/clang-format.log"; then
  grep -E '^[^ ].*: (error|warning):' "$build_dir/clang-format.log" | sort -u -t: -k1,2 | head -n 40
  echo "clang-format: files not laid out as .clang-format says (run clang-format -i on them)"
  status=1
else
  echo "clang-format: all ${#laid_out[@]} files laid out"
fi

exit "$status"
