#!/usr/bin/env bash
# Times whole zeb runs on the simulated bench and crowded fields, with one
# thread and with all of them, and prints for each run the wall and CPU
# time, the stars per second, the speed-up over the first run of the field
# and the peak memory (max RSS). With --base, a second zeb (for example a
# build of an earlier commit) is timed first, serially, on the same fields:
# the side-by-side comparison. Every run of a field must write the same
# catalogues; the script says so or stops.
#
#   scripts/bench-run.sh [--zeb ZEB] [--base OLD_ZEB] [--repeat N] [--work DIR] [PRESET...]
#     --zeb ZEB       the zeb to time (default build-release/src/driver/zeb,
#                     built when missing)
#     --base OLD_ZEB  also time this zeb, with one thread (as it ran)
#     --repeat N      runs of each kind, taken in turn; the fastest wall time
#                     counts (default 1)
#     --threads "1 N" thread counts to time (default 1 and every core)
#     --work DIR      where fields and runs go (default a temporary directory)
#     PRESET...       fields (default: bench crowded)
#
# The machine is shared more often than not: the load average before and
# after each field is printed with its times; compare numbers taken at low load.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() { sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

zeb="" base="" repeat=1 work="" threads="1 $(nproc)"
while [ $# -gt 0 ]; do
  case "$1" in
    --zeb) zeb=$(realpath "$2"); shift 2 ;;
    --base) base=$(realpath "$2"); shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "bench-run: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(bench crowded)
scripts/install-deps.sh bench
[ -x /usr/bin/time ] || { echo "bench-run: GNU time (/usr/bin/time) is needed" >&2; exit 2; }
if [ -z "$zeb" ]; then
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZEB_BUILD_TESTS=OFF >/dev/null
  cmake --build build-release -j "$(nproc)" --target zeb zebsim >/dev/null
  zeb=$root/build-release/src/driver/zeb
fi
zebsim=$(realpath "$(dirname "$zeb")/../../tools/zebsim/zebsim")
[ -x "$zeb" ] && [ -x "$zebsim" ] || { echo "bench-run: no zeb or zebsim beside $zeb" >&2; exit 2; }
[ -z "$base" ] || [ -x "$base" ] || { echo "bench-run: not executable: $base" >&2; exit 2; }
keep=1
if [ -z "$work" ]; then work=$(mktemp -d); keep=0; fi
mkdir -p "$work"
work=$(realpath "$work")

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
echo "zeb: $zeb"
[ -z "$base" ] || echo "base: $base"
printf '%-8s %-5s %-8s %9s %9s %8s %10s %8s %9s\n' field zeb threads "wall s" "cpu s" stars "stars/s" speed-up "rss MB"

# run_once FIELD_DIR RUN_DIR BINARY THREADS: one timed run; sets wall, cpu,
# maxkb.
run_once() {
  local field=$1 dir=$2 bin=$3 nthreads=$4 user sys
  rm -rf "$dir"
  mkdir -p "$dir"
  ln -s "$field"/* "$dir/"
  (cd "$dir" && ZEB_THREADS=$nthreads /usr/bin/time -o time.txt -f '%e %U %S %M' "$bin" params.txt \
    >stdout.txt 2>stderr.txt) || { echo "bench-run: $bin failed in $dir" >&2; exit 1; }
  read -r wall user sys maxkb <"$dir/time.txt"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
}

for preset in "${presets[@]}"; do
  field="$work/$preset/field"
  [ -f "$field/params.txt" ] || "$zebsim" "$preset" "$field" >/dev/null
  echo "load before $preset: $(cut -d' ' -f1-3 /proc/loadavg)"
  kinds=()
  [ -z "$base" ] || kinds+=("base:1")
  for t in $threads; do kinds+=("new:$t"); done
  # The repetitions take the kinds in turn (base, new 1, new N, base, ...), so
  # that a machine whose speed drifts during the script slows every kind
  # alike; the fastest wall time of each kind counts.
  declare -A best_wall=() best_cpu=() rss=()
  for ((k = 0; k < repeat; k++)); do
    for kind in "${kinds[@]}"; do
      side=${kind%%:*} nthreads=${kind#*:}
      bin=$zeb; [ "$side" = base ] && bin=$base
      run_once "$field" "$work/$preset/$side-$nthreads" "$bin" "$nthreads"
      if [ -z "${best_wall[$kind]:-}" ] || awk -v a="$wall" -v b="${best_wall[$kind]}" 'BEGIN { exit !(a < b) }'; then
        best_wall[$kind]=$wall best_cpu[$kind]=$cpu
      fi
      [ "$maxkb" -gt "${rss[$kind]:-0}" ] && rss[$kind]=$maxkb
    done
  done
  # Every run must write the catalogues of the first kind.
  reference="$work/$preset/${kinds[0]/:/-}"
  first_wall=${best_wall[${kinds[0]}]}
  for kind in "${kinds[@]}"; do
    side=${kind%%:*} nthreads=${kind#*:}
    dir="$work/$preset/$side-$nthreads"
    for f in "$reference"/LOG*; do
      cmp -s "$f" "$dir/$(basename "$f")" || { echo "bench-run: $(basename "$f") differs: $reference $dir" >&2; exit 1; }
    done
    stars=$(awk '/^stars:/ { print $2 }' "$dir/ZEB.STATUS")
    awk -v f="$preset" -v z="$side" -v t="$nthreads" -v w="${best_wall[$kind]}" -v c="${best_cpu[$kind]}" -v s="$stars" \
      -v w0="$first_wall" -v m="${rss[$kind]}" \
      'BEGIN { printf "%-8s %-5s %-8s %9.2f %9.2f %8d %10.1f %7.2fx %9.1f\n", f, z, t, w, c, s, s / w, w0 / w, m / 1024 }'
  done
  unset best_wall best_cpu rss
  echo "load after $preset: $(cut -d' ' -f1-3 /proc/loadavg); the runs of $preset wrote identical catalogues"
done
[ "$keep" = 1 ] || rm -rf "$work"
