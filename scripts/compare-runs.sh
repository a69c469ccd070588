#!/usr/bin/env bash
# Runs two zeb binaries on the same simulated fields, in every run mode, and
# compares every file they write and what they print, byte for byte: the
# proof that a change leaves the program's behaviour as it was.
#
#   scripts/compare-runs.sh --base OLD_ZEB --new NEW_ZEB [options] PRESET...
#     --zebsim ZEBSIM   the simulator that writes the fields (default: the one
#                       built beside NEW_ZEB, build-dir/tools/zebsim/zebsim)
#     --modes "R D A C" the run modes (default all four)
#     --extra LINE      a parameter-file line added to both runs (repeatable),
#                       e.g. --extra "SHOW_TILES+" or --extra "NIT01 JSIG=5"
#     --work DIR        where the fields and runs go (default a fresh temporary
#                       directory, removed when everything matches)
#     --base-env VAR=V  an environment setting of the base runs (repeatable),
#     --new-env VAR=V   and of the new runs: the same binary twice with
#                       --base-env ZEB_THREADS=1 --new-env ZEB_THREADS=7
#                       compares one thread with seven
#
# The run marker ZEB.STATUS is compared without its wall and checkpoint
# times, which no two runs share.
# Mode R runs the field's own parameter file; mode D the same with its
# starting list; modes A and C with three artificial stars added in the
# field's first and last tile. Exits 0 when every file and the standard output
# and error of every run are identical, 1 (listing the differences) otherwise.
set -euo pipefail

usage() { sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

base="" new="" zebsim="" modes="R D A C" work="" extra=() base_env=() new_env=()
while [ $# -gt 0 ]; do
  case "$1" in
    --base) base=$(realpath "$2"); shift 2 ;;
    --new) new=$(realpath "$2"); shift 2 ;;
    --zebsim) zebsim=$(realpath "$2"); shift 2 ;;
    --modes) modes="$2"; shift 2 ;;
    --extra) extra+=("$2"); shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --base-env) base_env+=("$2"); shift 2 ;;
    --new-env) new_env+=("$2"); shift 2 ;;
    -h|--help) usage ;;
    -*) echo "compare-runs: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ -n "$base" ] && [ -n "$new" ] && [ $# -gt 0 ] || usage
[ -n "$zebsim" ] || zebsim=$(realpath "$(dirname "$new")/../../tools/zebsim/zebsim")
for b in "$base" "$new" "$zebsim"; do [ -x "$b" ] || { echo "compare-runs: not executable: $b" >&2; exit 2; }; done
keep=1
if [ -z "$work" ]; then work=$(mktemp -d); keep=0; fi
mkdir -p "$work"
work=$(realpath "$work")

# The field's parameter file for one mode, with the extra lines before END.
params_for_mode() {
  local mode=$1 field=$2
  local tiles it1 it2 jt1 jt2
  tiles=$(grep -m1 '^IJTLIM' "$field/params.txt")
  read -r _ it1 it2 jt1 jt2 <<<"$tiles"
  {
    echo "MODE=$mode"
    tail -n +2 "$field/params.txt" | sed '/^END/d' |
      if [ "$mode" = D ]; then sed 's/^#PREMAG/PREMAG/'; else cat; fi
    if [ "$mode" = A ] || [ "$mode" = C ]; then
      # Artificial stars near the centres of the first and last tiles (a
      # flux of 5000 in both filters, a magnitude of -9 and of -8.5).
      echo "ADDART $(( (it1 - 1) * 120 + 80 )).25 $(( (jt1 - 1) * 120 + 70 )).5 5000 5000"
      echo "ADDART $(( (it1 - 1) * 120 + 60 )).75 $(( (jt1 - 1) * 120 + 90 )).0 -9.0 -8.5"
      echo "ADDART $(( (it2 - 1) * 120 + 70 )).5 $(( (jt2 - 1) * 120 + 75 )).25 -9.0 -8.5"
    fi
    for line in "${extra[@]}"; do echo "$line"; done
    echo "END"
  } >"$3"
}

# Two files written by the runs are the same: byte for byte, except that the
# completion record (ZEB.STATUS) says how long each run took; its time lines
# are left out of the comparison.
same_output() {
  if [ "$(basename "$1")" = ZEB.STATUS ] && [ -f "$1" ] && [ -f "$2" ]; then
    cmp -s <(grep -v -e '^wall time: ' -e '^checkpoint time: ' "$1") \
           <(grep -v -e '^wall time: ' -e '^checkpoint time: ' "$2")
  else
    cmp -s "$1" "$2"
  fi
}

differences=0
for preset in "$@"; do
  field="$work/$preset/field"
  if [ ! -f "$field/params.txt" ]; then
    "$zebsim" "$preset" "$field" --with-start-list >/dev/null
    # The starting list is for mode D only: the other modes run as the
    # preset's own parameter file does.
    sed -i 's/^PREMAG/#PREMAG/' "$field/params.txt"
  fi
  for mode in $modes; do
    for side in base new; do
      dir="$work/$preset/$mode-$side"
      rm -rf "$dir"
      mkdir -p "$dir/AUX"
      ln -s "$field"/* "$dir/"  # the inputs, shared; only what zeb writes is a file here
      rm "$dir/params.txt"
      params_for_mode "$mode" "$field" "$dir/params.txt"
      bin=$base env_set=("${base_env[@]}")
      [ "$side" = new ] && bin=$new env_set=("${new_env[@]}")
      start=$(date +%s%N)
      (cd "$dir" && env "${env_set[@]}" "$bin" params.txt >stdout.txt 2>stderr.txt; echo $? >status.txt)
      ms=$(( ($(date +%s%N) - start) / 1000000 ))
      echo "$preset mode $mode $side: $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s, status $(cat "$dir/status.txt")"
    done
    a="$work/$preset/$mode-base" b="$work/$preset/$mode-new"
    files=$( (cd "$a" && find . -type f; cd "$b" && find . -type f) | sort -u)
    same=0
    while read -r f; do
      if same_output "$a/$f" "$b/$f"; then
        same=$((same + 1))
      else
        echo "  DIFFERS: $preset mode $mode: ${f#./}"
        differences=$((differences + 1))
      fi
    done <<<"$files"
    echo "  $preset mode $mode: $same files identical"
  done
done
if [ "$differences" -gt 0 ]; then
  echo "compare-runs: $differences files differ (runs kept in $work)"
  exit 1
fi
echo "compare-runs: every file identical"
[ "$keep" = 1 ] || rm -rf "$work"
