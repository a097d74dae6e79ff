#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang-14, -DQZ_FUZZ=ON) and runs each for a given time.
#
# Usage: scripts/fuzz.sh [--time SECONDS] [--jobs N] [--build DIR] [--no-build | --build-only]
#                        [--merge] [HARNESS...]
#   --time      seconds per harness (default 30)
#   --jobs      harnesses run side by side (default: the number of cores)
#   --build     the fuzz build tree (default build-fuzz)
#   --no-build  use the tree as it is
#   --build-only  build the harnesses, run nothing
#   --merge     afterwards, merge what the run found into the committed corpus (minimised:
#               only inputs that add coverage are copied)
#   HARNESS     modbus_receive, settings_files, ... (default: all of tests/fuzz/corpus/)
#
# Each harness starts from its committed corpus tests/fuzz/corpus/<harness>; new inputs go to
# <build>/fuzz-work/<harness>/new, a failing input to <build>/fuzz-work/<harness>/crash-*.
# Prints executions per harness; exits non-zero when any harness found a failure.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=30
jobs="$(nproc)"
build="$here/build-fuzz"
do_build=1
do_run=1
merge=0
harnesses=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --build-only) do_run=0; shift ;;
    --merge) merge=1; shift ;;
    -*) sed -n '2,17p' "$0" >&2; exit 2 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
if [ ${#harnesses[@]} -eq 0 ]; then
  for d in "$here"/tests/fuzz/corpus/*/; do harnesses+=("$(basename "$d")"); done
fi

if [ "$do_build" = 1 ]; then
  "$here/scripts/bootstrap.sh"
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
        -DQZ_FUZZ=ON -DQZ_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
  targets=()
  for h in "${harnesses[@]}"; do targets+=(--target "fuzz_$h"); done
  cmake --build "$build" -j"$(nproc)" "${targets[@]}"
fi

if [ "$do_run" = 0 ]; then
  exit 0
fi

# Absolute: the harnesses change their working directory.
build="$(cd "$build" && pwd)"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false' LC_ALL=C.UTF-8
# Leaks are checked too: an input that leaks is a failure like any other.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/fuzz/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

work="$build/fuzz-work"
run_one() {
  local h=$1 dir="$work/$1"
  rm -rf "$dir"; mkdir -p "$dir/new"
  # The first corpus directory receives the new inputs; the committed one is only read.
  "$build/tests/fuzz/fuzz_$h" "$dir/new" "$here/tests/fuzz/corpus/$h" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 \
    -artifact_prefix="$dir/" >"$dir/log" 2>&1
}

pids=(); names=(); failed=0
for h in "${harnesses[@]}"; do
  [ -x "$build/tests/fuzz/fuzz_$h" ] || { echo "fuzz: $build/tests/fuzz/fuzz_$h missing" >&2; exit 2; }
  run_one "$h" &
  pids+=($!); names+=("$h")
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.5; done
done
status=()
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then status[$i]=ok; else status[$i]=FAILED; failed=1; fi
done

total=0
for i in "${!names[@]}"; do
  h=${names[$i]}; log="$work/$h/log"
  execs=$(awk '/stat::number_of_executed_units/ { print $NF }' "$log" | tail -1)
  rate=$(awk '/stat::average_exec_per_sec/ { print $NF }' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  new=$(ls "$work/$h/new" | wc -l)
  printf 'fuzz %-16s %-6s %12s executions (%s/s) in %s s, %s, %s new inputs\n' \
    "$h" "${status[$i]}" "${execs:-?}" "${rate:-?}" "$seconds" "${cov:-cov: ?}" "$new"
  total=$((total + ${execs:-0}))
  if [ "${status[$i]}" != ok ]; then
    echo "---- $h: last lines of $log" >&2
    tail -40 "$log" >&2
    ls "$work/$h"/crash-* "$work/$h"/leak-* "$work/$h"/timeout-* "$work/$h"/oom-* 2>/dev/null >&2 || true
  fi
done
echo "fuzz: $total executions in total"

if [ "$merge" = 1 ] && [ "$failed" = 0 ]; then
  for h in "${names[@]}"; do
    "$build/tests/fuzz/fuzz_$h" -merge=1 "$here/tests/fuzz/corpus/$h" "$work/$h/new" >"$work/$h/merge.log" 2>&1
    echo "fuzz: $h corpus now $(ls "$here/tests/fuzz/corpus/$h" | wc -l) files"
  done
fi
exit "$failed"
