#!/usr/bin/env bash
# Runs the whole test suite from scratch: packages, configure, build, CTest. Three stages, each
# in its own build tree:
#   1. the normal build and every test                       (QZ_TEST_BUILD_DIR,  build/)
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build
#      (-DQZ_SANITIZE=ON; benchmarks not built) and every test (QZ_ASAN_BUILD_DIR,  build-asan/)
#   3. the fuzz harnesses (clang, -DQZ_FUZZ=ON), each run for
#      QZ_FUZZ_SECONDS (default 30) from its committed corpus (QZ_FUZZ_BUILD_DIR,  build-fuzz/)
# QZ_TEST_STAGES picks stages (default "normal asan fuzz"). Exits non-zero on any failure.
# The test builds carry line tables only (-g1). The sanitizer build is not optimised: it then
# compiles in half the time, and the sanitizers see every access (none is optimised away). The
# fuzz harnesses are built at -O1 (see fuzz.sh) and run side by side for the smoke. The suites
# run two per core: most of them wait on real timers, pseudo-terminals and child processes, so
# the next stage is built meanwhile (see below).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QZ_TEST_BUILD_DIR:-$here/build}"
asan_build="${QZ_ASAN_BUILD_DIR:-$here/build-asan}"
fuzz_build="${QZ_FUZZ_BUILD_DIR:-$here/build-fuzz}"
stages="${QZ_TEST_STAGES:-normal asan fuzz}"
jobs="$(nproc)"

stage() { echo "==== $* ($(date +%T))"; }

selected=()
for s in normal asan fuzz; do
  if [[ " $stages " == *" $s "* ]]; then selected+=("$s"); fi
done

# One stage's build. Its output goes to standard output; a background build's to a log.
build_stage() {
  case "$1" in
    normal) "$here/scripts/build.sh" "$build" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" ;;
    asan) "$here/scripts/build.sh" "$asan_build" -DQZ_SANITIZE=ON -DQZ_BUILD_BENCH=OFF \
            -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG" ;;
    fuzz) "$here/scripts/fuzz.sh" --build "$fuzz_build" --build-only ;;
  esac
}

test_stage() {
  case "$1" in
    normal)
      (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$((2 * jobs))" --timeout 600) ;;
    asan)
      (cd "$asan_build" &&
        ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1" \
        LSAN_OPTIONS="suppressions=$here/tests/fuzz/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$((2 * jobs))" --timeout 900) ;;
    fuzz)
      local harness_count
      harness_count=$(find "$here/tests/fuzz/corpus" -mindepth 1 -maxdepth 1 -type d | wc -l)
      "$here/scripts/fuzz.sh" --build "$fuzz_build" --no-build --time "${QZ_FUZZ_SECONDS:-30}" \
        --jobs "$harness_count" ;;
  esac
}

# The next stage's build runs in the background, at the lowest priority, while this stage's
# suites run: they spend most of their time waiting on timers and child processes, and the
# build takes only the processor time they leave.
logs="$(mktemp -d)"
background=""
cleanup() {
  if [ -n "$background" ]; then kill -- -"$background" 2>/dev/null || true; fi
  rm -rf "$logs"
}
trap cleanup EXIT

for i in "${!selected[@]}"; do
  s="${selected[$i]}"
  if [ -z "$background" ]; then
    stage "$s build"
    build_stage "$s"
  else
    stage "$s build (started in the background during the previous tests)"
    status=0
    wait "$background" || status=$?
    background=""
    cat "$logs/$s.log"
    if [ "$status" != 0 ]; then
      echo "test.sh: the $s build failed (status $status)" >&2
      exit "$status"
    fi
  fi
  next="${selected[$((i + 1))]:-}"
  if [ -n "$next" ]; then
    # A process group of its own, so that a failing test run can stop the whole build.
    setsid -w nice -n 19 bash -c "$(declare -p here build asan_build fuzz_build); $(declare -f build_stage); build_stage $next" \
      >"$logs/$next.log" 2>&1 &
    background=$!
  fi
  stage "$s tests"
  test_stage "$s"
done
stage "all stages passed"
