#!/usr/bin/env bash
# The campaign on Slurm: starts a one-node Slurm cluster on this machine,
# submits the array job zeb-campaign plans for a mode-A run of a small
# simulated field, waits for it, merges the shards and compares every merged
# file with a plain run of the same parameter file.
#   scripts/slurm-campaign-test.sh [--build DIR] [SHARDS]     (default 4 shards)
# --build DIR takes zeb, zebsim and zeb-campaign from an existing build
# directory (CI passes the test build); otherwise they are built in Release
# mode in build-slurm/. Run as root: it installs slurm-wlm and munge when they
# are missing, and stops the daemons it started when it ends. Everything else
# it writes goes to slurm-test/ (the field, the cluster's configuration and
# state, the campaign).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-slurm"
if [ "${1:-}" = "--build" ]; then
  build=$(cd "$2" && pwd)
  shift 2
fi
shards=${1:-4}
start_all=$(date +%s)

scripts/install-deps.sh
missing=()
for p in slurm-wlm munge; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "run as root to install: ${missing[*]}" >&2; exit 1; }
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "building zeb, zebsim and zeb-campaign (in $build)..."
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEB_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zeb zebsim zeb-campaign >/dev/null
zeb="$build/src/driver/zeb"
campaign="$build/tools/campaign/zeb-campaign"

work="$root/slurm-test"
rm -rf "$work"
mkdir -p "$work/run" "$work/slurm/state" "$work/slurm/spool" "$work/munge"
cd "$work/run"
"$build/tools/zebsim/zebsim" e2e-ir . --with-start-list >/dev/null
# 200 artificial stars over both tiles of the field, magnitudes -13 to -7.
awk 'BEGIN { print "# u v mag1 mag2";
             for (i = 0; i < 200; i++) printf "%.3f %.3f %.2f %.2f\n",
               20 + (i * 37.31) % 232, 20 + (i * 17.93) % 112, -13 + 0.03 * i, -12.7 + 0.03 * i }' >art.txt
sed -i 's/^MODE=R/MODE=A/; s/^END$/ARTMAG art.txt\nEND/' params.txt
echo "the plain run..."
"$zeb" params.txt >zeb.out 2>&1

# The daemons this script starts, stopped (by their process ids) when it ends.
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # Wait for them to go (a daemon whose parent does not collect it stays a zombie).
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do
      state=$(ps -o stat= -p "$p" 2>/dev/null || true)
      [ -z "$state" ] || [ "${state#Z}" != "$state" ] && break
      sleep 0.2
    done
  done
}
trap cleanup EXIT

echo "starting munge and a one-node Slurm cluster on $(hostname)..."
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munged --key-file="$work/munge/munge.key" --socket="$work/munge/socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" \
  --seed-file="$work/munge/seed" --force
sleep 1
pids+=("$(cat "$work/munge/munged.pid")")

node=$(hostname -s)
mem=$(awk '/MemTotal/ { print int($2 / 1024 / 2) }' /proc/meminfo)
conf="$work/slurm/slurm.conf"
cat >"$conf" <<EOF
ClusterName=zebtest
SlurmctldHost=$node
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/slurm/state
SlurmdSpoolDir=$work/slurm/spool
SlurmctldPidFile=$work/slurm/slurmctld.pid
SlurmdPidFile=$work/slurm/slurmd.pid
SlurmctldLogFile=$work/slurm/slurmctld.log
SlurmdLogFile=$work/slurm/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
ReturnToService=2
SchedulerType=sched/backfill
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
NodeName=$node CPUs=$(nproc) RealMemory=$mem State=UNKNOWN
PartitionName=zeb Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$conf"
slurmctld -f "$conf"
sleep 2
pids+=("$(cat "$work/slurm/slurmctld.pid")")
slurmd -f "$conf"
sleep 2
pids+=("$(cat "$work/slurm/slurmd.pid")")
up=no
for _ in $(seq 60); do
  if sinfo -h -o %T 2>/dev/null | grep -qE '^(idle|mixed|allocated)'; then up=yes; break; fi
  sleep 1
done
sinfo || true
if [ "$up" != yes ]; then
  echo "the Slurm node did not come up; its logs:" >&2
  tail -n 20 "$work/slurm/slurmctld.log" "$work/slurm/slurmd.log" >&2 || true
  exit 1
fi

echo "planning $shards shards and submitting the array job..."
"$campaign" plan params.txt --shards "$shards" --dir "$work/campaign" --zeb "$zeb" --mem 500M --time 00:30:00
start_job=$(date +%s)
sbatch --wait "$work/campaign/slurm.sh"
job_seconds=$(( $(date +%s) - start_job ))
"$campaign" status "$work/campaign"
"$campaign" merge "$work/campaign"

same=0 differ=0
for f in LOG*; do
  if cmp -s "$f" "$work/campaign/merged/$f"; then same=$((same + 1)); else differ=$((differ + 1)); echo "differs: $f"; fi
done
# The run marker records the shards' summed times: a finished run, not the same bytes.
finished=yes
if [ "$(head -n 1 "$work/campaign/merged/ZEB.STATUS" 2>/dev/null)" != FINISHED ]; then
  echo "merged ZEB.STATUS does not record a finished run"; finished=no
fi
extra=$(( $(ls "$work/campaign/merged" | grep -vcx ZEB.STATUS) - same - differ ))
echo "array job of $shards tasks: ${job_seconds} s; whole test: $(( $(date +%s) - start_all )) s"
if [ "$differ" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$finished" = yes ]; then
  echo "slurm campaign: all $same merged files are byte-identical to the plain run"
else
  echo "slurm campaign: $differ files differ, $extra merged files the plain run did not write" >&2
  exit 1
fi
