#!/usr/bin/env bash
# ThreadSanitizer run of the tests that start workers in their threads (label pty):
#   scripts/tsan.sh [ctest option...]      e.g. scripts/tsan.sh -R tst_soak
# Builds build-tsan/ (or ZDZ_TSAN_BUILD_DIR) with -DZDZ_TSAN=ON. Qt itself is not built with
# ThreadSanitizer; tests/tsan.supp silences only what happens inside Qt, never our code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZDZ_TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZDZ_TSAN=ON -DZDZ_BUILD_TESTS=ON
cmake --build "$build" -j "${ZDZ_TSAN_JOBS:-2}"
cd "$build"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# A report makes the test's exit status 66, so ctest counts it as a failure.
ctest -L pty --output-on-failure "$@"
