#!/usr/bin/env bash
# The main job: builds zeb in Release mode and runs it on the example field in
# a fresh directory, demo-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZEB_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc 2>/dev/null || echo 2)" --target zeb
rm -rf demo-run && mkdir demo-run && cd demo-run
cp -r "$root/examples/." .
status=0
"$root/build-release/src/driver/zeb" params.txt || status=$?
echo
echo "zeb ended with status $status in $root/demo-run"
exit $status
