#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each of them for a
# bounded time, JOBS (nproc) of them at a time, starting from its seed
# corpus in fuzz/corpus/<target>.
# Inputs the fuzzer finds go to build-fuzz/corpus/<target>; an input that
# crashes a target is saved as build-fuzz/crashes/<target>-crash-<hash>.
#
# Usage: bash scripts/fuzz.sh [--time SECONDS] [TARGET...]
#   --time   seconds per target (default 15, the CI run; e.g. 600 by hand)
#   TARGET   e.g. rep_read_server_fuzz; all targets when none is named
# Exits 0 when every target ran its time without a finding, 1 otherwise.
# A saved crash runs again with: build-fuzz/bin/<target> <crash file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=15
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    --time=*) seconds=${1#--time=}; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || { echo "--time needs a number of seconds" >&2; exit 2; }

build=build-fuzz
jobs=${JOBS:-$(nproc)}

echo "== building the fuzz targets (clang) in $build"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON -DCORVANE_WERROR=ON \
  -DCORVANE_E2E_TUNNEL=OFF "${launcher[@]}" >/dev/null
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < "$build/fuzz/targets.txt"
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/corpus" "$build/crashes" "$build/logs"
# Leaks count as findings; a report stops the run at once.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# fuzz_one TARGET: runs one target for its time; its verdict goes to
# $build/logs/TARGET.verdict (the targets run JOBS at a time).
fuzz_one() {
  local t=$1
  local bin="$build/bin/$t" seeds="fuzz/corpus/$t" work="$build/corpus/$t" log="$build/logs/$t.log" rc runs
  mkdir -p "$work"
  # New inputs go to the first folder only, so the seeds stay as they are.
  # -close_fd_mask=1: the code under test prints a lot to standard output.
  # The outer timeout only guards against a target that does not stop.
  set +e
  timeout --kill-after=30 $((seconds + 120)) "$bin" -max_total_time="$seconds" -timeout=20 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1 || true)
  if [ $rc -eq 0 ]; then
    echo "== $t: $seconds s, ok (${runs:-no run count})" >"$build/logs/$t.verdict"
  else
    { echo "== $t: $seconds s, FOUND SOMETHING (exit $rc); log: $log"
      grep -E 'ERROR:|runtime error|check failed|Test unit written' "$log" | head -5 | sed 's/^/   /'; } >"$build/logs/$t.verdict"
    return 1
  fi
}

rm -f "$build"/logs/*.verdict
running=0
for t in "${targets[@]}"; do
  if [ $running -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait || true

failed=()
for t in "${targets[@]}"; do
  cat "$build/logs/$t.verdict" 2>/dev/null || echo "== $t: no verdict"
  grep -q ', ok (' "$build/logs/$t.verdict" 2>/dev/null || failed+=("$t")
done

if [ ${#failed[@]} -eq 0 ]; then
  echo "FUZZING FOUND NOTHING"
  exit 0
fi
echo "FUZZING FOUND PROBLEMS IN: ${failed[*]}"
exit 1
