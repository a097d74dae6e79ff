#!/usr/bin/env bash
# Runs the whole test suite from scratch: packages, configure, build, CTest.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QZ_TEST_BUILD_DIR:-$here/build}"
"$here/scripts/build.sh" "$build"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 600
