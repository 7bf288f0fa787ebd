#!/bin/bash
# Runs the Slurm array job of scripts/slurm on a one-node Slurm of its own and
# checks that every output equals a single-process run's, byte for byte; then
# removes one output and resubmits, as after a cut-off run.
#
#   tests/slurm/run_slurm_test.sh [BUILD_DIR]      (as root; default BUILD_DIR: build)
#
# Exit status 0 when it passed, 77 when skipped (not root), 1 otherwise.
#
# It installs Debian's slurm-wlm and munge when they are missing, starts munged,
# slurmctld and slurmd from a temporary folder with their own key, socket,
# ports and state, and stops them by their process ids when it ends, however
# it ends. No systemd and no system-wide Slurm or munge setup is touched.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
batch=$build/cli/tavrel-batch
fail() {
  echo "run_slurm_test: $*" >&2
  exit 1
}
[[ -x $batch ]] || fail "no $batch; build tavrel-batch first"
if ((EUID != 0)); then
  echo "run_slurm_test: skipped: needs root (slurmd, and the packages when missing)" >&2
  exit 77
fi

if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends slurm-wlm munge >/dev/null
fi

work=$(mktemp -d /tmp/tavrel-slurm-XXXXXX)
chmod 711 "$work"
daemons=()
stop_daemons() {
  local pid
  if [[ -n ${SLURM_CONF:-} ]] && ((${#daemons[@]} > 1)); then
    scancel --full --quiet --user=root 2>/dev/null || true
  fi
  for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do
    pid=${daemons[i]}
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
}
finish() {
  local status=$?
  stop_daemons
  if ((status != 0)); then
    for log in "$work"/*.log "$work"/array/*.log; do
      [[ -f $log ]] && { echo "== $log"; tail -n 20 "$log"; }
    done >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- the dataset: two directions files, six entries of small shifted pairs ---
mkdir -p "$work/single"
python3 - "$work/single" <<'PY'
import random, struct, sys
folder = sys.argv[1]
def bmp(name, width, height, level):
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for r in reversed(range(height)):
        row = bytearray()
        for c in range(width):
            v = level(r, c)
            row += bytes((v, v, v))
        rows.append(bytes(row) + bytes(stride - 3 * width))
    header = b"BM" + struct.pack("<IHHIIiiHHIIiiII", 54 + stride * height, 0, 0, 54, 40, width,
                                 height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    open(f"{folder}/{name}", "wb").write(header + b"".join(rows))
random.seed(19)
entries = []
for n, shift in enumerate((3, 5, 7, 4, 6, 2)):
    texture = [[random.randrange(256) for _ in range(64 + 8)] for _ in range(40)]
    bmp(f"p{n}-0.bmp", 64, 40, lambda r, c: texture[r][c + 8])
    bmp(f"p{n}-1.bmp", 64, 40, lambda r, c, s=shift: texture[r][c + 8 - s])
    entries.append(f"p{n}-0.bmp p{n}-1.bmp 1\nMinDisparity \t-12\nMaxDisparity \t1\n"
                   f"WinRadL0 \t1\nWinRadRC \t2\nWinRadD \t1\nNumIterations \t{3 + n}\n"
                   f"MaxScaler \t0.96\nUSE_SAD \t{n % 2}\nOutput File \tp{n}.dis\n")
open(f"{folder}/a.cpd", "w").write("".join(entries[:4]))
open(f"{folder}/b.cpd", "w").write("".join(entries[4:]))
PY
cp -r "$work/single" "$work/array"
(cd "$work/single" && "$batch" -q a.cpd b.cpd)
outputs=(p0.dis p1.dis p2.dis p3.dis p4.dis p5.dis)

# --- a one-node Slurm: munged, slurmctld and slurmd with their own everything ---
mkdir -p "$work/state" "$work/spool"
mungekey --create --keyfile="$work/munge.key" 2>/dev/null ||
  dd if=/dev/urandom of="$work/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge.key"
munged --foreground --force --key-file="$work/munge.key" --socket="$work/munge.socket" \
  --pid-file="$work/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munge.seed" \
  >"$work/munged.out" 2>&1 &
daemons+=($!)

read -r controller_port node_port < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))')
host=$(hostname -s)
node=$(slurmd -C | head -n 1)
cat >"$work/slurm.conf" <<CONF
ClusterName=tavreltest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmctldPort=$controller_port
SlurmdPort=$node_port
AuthType=auth/munge
AuthInfo=socket=$work/munge.socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
SchedulerType=sched/builtin
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=tavrel Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
for _ in $(seq 50); do [[ -S $work/munge.socket ]] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
daemons+=($!)
for _ in $(seq 100); do
  sinfo --noheader --states=idle --format=%n 2>/dev/null | grep -q . && break
  sleep 0.2
done
sinfo --noheader --states=idle --format=%n | grep -q . || fail "the Slurm node did not come up"

# --- the array job, its outputs against the single run's, then a resubmission ---
compare() {
  for output in "${outputs[@]}"; do
    cmp "$work/single/$output" "$work/array/$output" || fail "$output differs from the single run's"
  done
}
start=$SECONDS
cd "$work/array"
TAVREL_BATCH=$batch "$root/scripts/slurm/submit.sh" -n 4 --wait --quiet -- a.cpd b.cpd ||
  fail "the array job failed"
compare
rm p2.dis
kept=$(stat -c %i p0.dis)
TAVREL_BATCH=$batch "$root/scripts/slurm/submit.sh" -n 4 --wait --quiet -- a.cpd b.cpd ||
  fail "the resubmitted array job failed"
compare
# Outputs are replaced whole under a new inode: an unchanged one was skipped.
[[ $(stat -c %i p0.dis) == "$kept" ]] || fail "the resubmission ran an entry whose output existed"
echo "run_slurm_test: passed; two array jobs of 4 tasks over 6 entries took $((SECONDS - start)) s"
