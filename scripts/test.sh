#!/usr/bin/env bash
# Configures, builds and runs the whole test suite twice: an optimised build
# with warnings as errors, then an address+undefined-behaviour sanitizer build.
# Run as root on a fresh Debian machine it first installs what the build and
# the tests need.
#   scripts/test.sh              both builds
#   scripts/test.sh --fast       the optimised build only
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DZEB_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${1:-}" != "--fast" ]; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZEB_SANITIZE=ON -DZEB_SANITIZE_FAST=ON
fi
echo "all test suites passed in $here"
