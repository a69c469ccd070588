#!/usr/bin/env bash
# The main job: builds zeb and the field simulator zebsim in Release mode,
# writes the demo field (two WFC3/IR filters, three exposures each, 2 x 2 tiles,
# about 1500 stars with known positions and fluxes) into a fresh directory,
# demo-run/, runs zeb on it there and tells what the run produced.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
echo "building zeb and zebsim (Release, in build-release/)..."
mkdir -p build-release
if ! { cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZEB_BUILD_TESTS=OFF &&
       cmake --build build-release -j "$jobs" --target zeb zebsim; } >build-release/build.log 2>&1; then
  cat build-release/build.log
  echo "the build failed (its output is above and in build-release/build.log)" >&2
  exit 1
fi
zeb="$root/build-release/src/driver/zeb"
zebsim="$root/build-release/tools/zebsim/zebsim"

rm -rf demo-run
"$zebsim" demo demo-run
cd demo-run

echo "running zeb on the demo field (its output goes to demo-run/zeb.log)..."
start=$(date +%s)
status=0
"$zeb" params.txt >zeb.log 2>&1 || status=$?
seconds=$(( $(date +%s) - start ))

# Records of a file, comment lines left out; 0 when it does not exist.
records() { if [ -f "$1" ]; then grep -vc '^#' "$1" || true; else echo 0; fi; }
# The files matching a pattern, or "none yet".
listed() {
  local found=()
  for f in "$@"; do [ -e "$f" ] && found+=("$f"); done
  if [ ${#found[@]} -gt 0 ]; then echo "${found[*]}"; else echo "none yet"; fi
}

echo
echo "================================ demo summary ================================"
echo "field        demo-run/: $(grep -c '^0' params.txt) exposures, $(records truth.txt) stars in truth.txt"
echo "zeb          ended with status $status after ${seconds} s (output in demo-run/zeb.log)"
if [ "$status" -ne 0 ]; then
  echo "             last lines of its output:"
  tail -n 5 zeb.log | sed 's/^/               /'
fi
echo "tiles        $(records LOGK.SETUP) processed"
echo "catalogue    $(records LOGR.XYVIQ1) stars"
echo "catalogues   $(listed LOGR.XYVIQ0 LOGR.XYVIQ1 LOGR.XYVIQ2 LOGR.XYVIQ3 LOGR.XYVIQS LOGR.XYFIND)"
echo "regions      $(listed LOGR.found_uv1.reg LOGR.found_uv2.reg)"
echo "mosaics      $(listed LOGR.STACK_X1_* LOGR.STACK_X2_*)"
if [ "$(records LOGR.XYVIQ1)" -gt 0 ]; then
  echo "against the truth (zebsim score truth.txt LOGR.XYVIQ1):"
  "$zebsim" score truth.txt LOGR.XYVIQ1 | tail -n 1 | sed 's/^/             /'
fi
echo "=============================================================================="
exit "$status"
