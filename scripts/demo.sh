#!/usr/bin/env bash
# The main job: builds zeb, the field simulator zebsim and zeb-export in
# Release mode, writes the demo field (two WFC3/IR filters, three exposures
# each, 2 x 2 tiles, about 1500 stars with known positions and fluxes) into a
# fresh directory, demo-run/, runs zeb on it there, exports the catalogue as one
# table (demo-run/catalogue.ecsv), draws its plots (demo-run/plots/) and tells
# what the run produced.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
echo "building zeb, zebsim and zeb-export (Release, in build-release/)..."
mkdir -p build-release
if ! { cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZEB_BUILD_TESTS=OFF &&
       cmake --build build-release -j "$jobs" --target zeb zebsim zeb-export; } >build-release/build.log 2>&1; then
  cat build-release/build.log
  echo "the build failed (its output is above and in build-release/build.log)" >&2
  exit 1
fi
zeb="$root/build-release/src/driver/zeb"
zebsim="$root/build-release/tools/zebsim/zebsim"
export_table="$root/build-release/tools/export/zeb-export"

rm -rf demo-run
"$zebsim" demo demo-run
cd demo-run

echo "running zeb on the demo field (its messages go to demo-run/zeb.log)..."
start=$(date +%s)
status=0
# The messages into zeb.log; the progress lines, and a stop text, on the terminal.
ZEB_PROGRESS=1 "$zeb" params.txt >zeb.log || status=$?
seconds=$(( $(date +%s) - start ))
table="not written"
plots="not drawn"
if [ "$status" -eq 0 ] && "$export_table" . --format ecsv --out catalogue.ecsv >/dev/null; then
  table="demo-run/catalogue.ecsv"
  if /usr/bin/python3 "$root/tools/plot/zeb-plot" catalogue.ecsv --out plots --truth truth.txt >/dev/null; then
    plots="demo-run/plots/ (cmd, errmag_F110W, errmag_F160W, completeness, photerr; PNG and PDF)"
  fi
fi

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
echo "zeb          ended with status $status after ${seconds} s (messages in demo-run/zeb.log)"
if [ "$status" -ne 0 ]; then
  echo "             last lines of its output:"
  tail -n 5 zeb.log | sed 's/^/               /'
fi
echo "tiles        $(records LOGK.SETUP) processed"
echo "catalogue    $(records LOGR.XYVIQ1) stars"
echo "catalogues   $(listed LOGR.XYVIQ0 LOGR.XYVIQ1 LOGR.XYVIQ2 LOGR.XYVIQ3 LOGR.XYVIQS LOGR.XYFIND)"
echo "regions      $(listed LOGR.found_uv1.reg LOGR.found_uv2.reg)"
echo "mosaics      $(listed LOGR.STACK_X1_* LOGR.STACK_X2_*)"
echo "table        $table (zeb-export; read it with astropy or TOPCAT)"
echo "plots        $plots"
if [ "$(records LOGR.XYVIQ1)" -gt 0 ]; then
  echo "against the truth (zebsim score truth.txt LOGR.XYVIQ1):"
  "$zebsim" score truth.txt LOGR.XYVIQ1 | tail -n 1 | sed 's/^/             /'
fi
echo "=============================================================================="
exit "$status"
