#!/bin/bash
# Submits tavrel-array.sbatch as an array job over the entries of directions
# files, with the memory each task needs.
#
#   scripts/slurm/submit.sh [-n SHARDS] [SBATCH OPTION...] -- FILE.cpd...
#
# SHARDS (the number of array tasks) defaults to the number of entries. The
# memory asked for is the largest entry's, as tavrel-batch --plan reports it,
# plus room for the program itself; sbatch options (--wait, --partition,
# --cpus-per-task, --time) pass through. Run it from the folder the jobs
# should run in; tavrel-batch is found through $TAVREL_BATCH, else on PATH.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
batch=${TAVREL_BATCH:-tavrel-batch}
shards=
sbatch_options=()
while (($#)); do
  case $1 in
    -n) shards=${2:?-n wants a number of shards}; shift 2 ;;
    --) shift; break ;;
    *) sbatch_options+=("$1"); shift ;;
  esac
done
if (($# == 0)); then
  echo "usage: submit.sh [-n SHARDS] [SBATCH OPTION...] -- FILE.cpd..." >&2
  exit 1
fi

plan=$(mktemp)
trap 'rm -f "$plan"' EXIT
if ! "$batch" --plan -- "$@" >"$plan"; then
  echo "submit.sh: some entries can never run (see the plan above); nothing submitted" >&2
  cat "$plan" >&2
  exit 1
fi
entries=$(grep -c -v '^peak' "$plan" || true)
if ((entries == 0)); then
  echo "submit.sh: the directions files hold no entries" >&2
  exit 1
fi
shards=${shards:-$entries}
if ! [[ $shards =~ ^[1-9][0-9]*$ ]]; then
  echo "submit.sh: -n wants a whole number of shards from 1, not '$shards'" >&2
  exit 1
fi
((shards > entries)) && shards=$entries

# One --mem serves every task: the largest entry of any shard, in MiB, with a
# tenth more and 64 MiB for the program, its images and its scratch.
peak=$(awk -F'\t' '$1 !~ /^peak/ && $5 > m { m = $5 } END { print m + 0 }' "$plan")
mem=$(((peak + peak / 10) / 1048576 + 64))

sbatch --array="0-$((shards - 1))" --mem="${mem}M" --export=ALL,TAVREL_SHARDS="$shards" \
  "${sbatch_options[@]}" "$here/tavrel-array.sbatch" "$@"
