#!/usr/bin/env bash
# Fuzzing the readers of untrusted input with libFuzzer (clang, address and
# undefined-behaviour sanitizers). The regular test suite does not need any of
# this: it replays the committed corpora (fuzz/corpus/<target>/) with the
# ordinary compiler.
#
#   scripts/fuzz.sh build                      configure and build build-fuzz/
#   scripts/fuzz.sh seeds                      derive the seed corpora from simulated fields
#   scripts/fuzz.sh run TARGET [SECONDS] [RUNS]
#                                              fuzz one target until SECONDS have passed
#                                              (default 600) or RUNS inputs were tried
#                                              (default unlimited), starting from its
#                                              committed corpus; new inputs go to
#                                              build-fuzz/corpus/TARGET, findings to
#                                              build-fuzz/findings/TARGET
#   scripts/fuzz.sh all [SECONDS] [RUNS]       every target in turn
#   scripts/fuzz.sh merge TARGET               replaces fuzz/corpus/TARGET (its seeds kept) by the
#                                              smallest set of inputs that covers it and
#                                              build-fuzz/corpus/TARGET
#
# Targets: params list fits psf matlist. Runs are niced and use one process.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=build-fuzz
targets=(params list fits psf matlist)

build() {
  scripts/install-deps.sh fuzz
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEB_BUILD_FUZZ=ON \
    -DZEB_BUILD_TESTS=OFF >/dev/null
  nice cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
}

# A scratch directory in memory when there is one: the targets write a file per input.
scratch() {
  local base=/tmp
  [ -d /dev/shm ] && base=/dev/shm
  mktemp -d "$base/zebfuzz-XXXXXX"
}

max_len() {
  case "$1" in
    list) echo 512 ;;
    params|matlist) echo 4096 ;;
    *) echo 16384 ;;
  esac
}

run_target() {
  local t=$1 seconds=${2:-600} runs=${3:--1}
  # Absolute paths: the target works in its scratch directory.
  local work="$root/$build/corpus/$t" findings="$root/$build/findings/$t" dir
  mkdir -p "$work" "$findings"
  dir=$(scratch)
  echo "fuzzing $t for at most ${seconds} s / $runs inputs (scratch $dir)"
  local status=0
  ZEB_FUZZ_DIR="$dir" nice "$root/$build/fuzz/fuzz_$t" "$work" "$root/fuzz/corpus/$t" -max_total_time="$seconds" \
    -runs="$runs" -max_len="$(max_len "$t")" -timeout=20 -rss_limit_mb=4096 -artifact_prefix="$findings/" \
    -print_final_stats=1 2>&1 | tail -n 25 || status=$?
  rm -rf "$dir"
  return "$status"
}

case "${1:-}" in
  build) build ;;
  seeds)
    [ -x "$build/fuzz/fuzz_seeds" ] || build
    "$build/fuzz/fuzz_seeds" fuzz/corpus
    ;;
  run)
    [ -n "${2:-}" ] || { echo "usage: scripts/fuzz.sh run TARGET [SECONDS] [RUNS]" >&2; exit 2; }
    [ -x "$build/fuzz/fuzz_$2" ] || build
    run_target "$2" "${3:-600}" "${4:--1}"
    ;;
  all)
    [ -x "$build/fuzz/fuzz_params" ] || build
    for t in "${targets[@]}"; do run_target "$t" "${2:-600}" "${3:--1}"; done
    ;;
  merge)
    [ -n "${2:-}" ] || { echo "usage: scripts/fuzz.sh merge TARGET" >&2; exit 2; }
    # The smallest set of inputs that covers what the committed corpus and the
    # new inputs cover replaces the committed corpus; the seeds stay.
    dir=$(scratch)
    out=$(scratch)
    ZEB_FUZZ_DIR="$dir" nice "$root/$build/fuzz/fuzz_$2" -set_cover_merge=1 -max_len="$(max_len "$2")" "$out" \
      "$root/fuzz/corpus/$2" "$root/$build/corpus/$2" 2>&1 | tail -n 1
    find "fuzz/corpus/$2" -type f ! -name 'seed-*' -delete
    cp "$out"/* "fuzz/corpus/$2/" 2>/dev/null || true
    echo "fuzz/corpus/$2: $(ls "fuzz/corpus/$2" | wc -l) inputs"
    rm -rf "$dir" "$out"
    ;;
  *)
    sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
