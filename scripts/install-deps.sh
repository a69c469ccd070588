#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (GNU
# parallel runs the campaign tests), when run as root and any is missing.
# Does nothing otherwise.
#   install-deps.sh          what the build, the tests and the demo need
#   install-deps.sh fuzz     also clang and its libFuzzer runtime (scripts/fuzz.sh)
#   install-deps.sh bench    also GNU time (scripts/bench-run.sh)
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libbenchmark-dev libcfitsio-dev python3-numpy python3-astropy python3-matplotlib fitsverify
      parallel)
if [ "${1:-}" = fuzz ]; then pkgs+=(clang libclang-rt-dev); fi
if [ "${1:-}" = bench ]; then pkgs+=(time); fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
  fi
fi
