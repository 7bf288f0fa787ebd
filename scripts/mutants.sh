#!/usr/bin/env bash
# Plants each fault of scripts/mutants/*.patch in turn, in a scratch copy of
# the working tree (never in the tree itself), builds, runs the test suite and
# undoes the fault; then lists the faults no test caught. A patch's first line
# says what the fault is. Not part of the normal tests: it builds once per
# fault, so it takes a while.
#
#   scripts/mutants.sh              every fault
#   scripts/mutants.sh NAME...      only these (patch names without .patch)
#
# Exit status 0 when every fault was caught, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

patches=()
if [ $# -eq 0 ]; then
  patches=("$root"/scripts/mutants/*.patch)
else
  for name in "$@"; do patches+=("$root/scripts/mutants/$name.patch"); done
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-mutants-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# The working tree as it is, uncommitted changes included, without build
# folders or other ignored files.
(
  cd "$root"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$file" ]; then cp --parents -P "$file" "$scratch"; fi
    done
)
tree="$scratch"
# git apply run inside another repository's folder (a TMPDIR under a work
# tree) would skip every path and report success; keep it from looking up.
export GIT_CEILING_DIRECTORIES=$(dirname "$scratch")
build="$scratch/build"
log="$scratch/log.txt"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export QT_QPA_PLATFORM=offscreen

run_tests() {
  cmake --build "$build" -j "$jobs" >"$log" 2>&1 || return 2
  ctest --test-dir "$build" -j "$jobs" --stop-on-failure --timeout 300 >>"$log" 2>&1 || return 1
  return 0
}

echo "building and testing the unchanged tree in $tree"
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >"$log" 2>&1
if ! run_tests; then
  echo "the unchanged tree does not build or pass its tests; see below" >&2
  tail -n 40 "$log" >&2
  exit 1
fi

caught=0
survivors=()
broken=()
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  if ! (cd "$tree" && git apply -p1 "$patch" 2>/dev/null); then
    echo "$name: does not apply"
    broken+=("$name")
    continue
  fi
  status=0
  run_tests || status=$?
  case $status in
    0)
      echo "$name: SURVIVED ($(head -n 1 "$patch"))"
      survivors+=("$name")
      ;;
    1)
      first=$(grep -m 1 -E '\*\*\*(Failed|Timeout|Exception)|Subprocess aborted|SEGFAULT' "$log" |
        sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)
      echo "$name: caught by ${first:-a failing test}"
      caught=$((caught + 1))
      ;;
    2)
      echo "$name: does not build"
      broken+=("$name")
      ;;
  esac
  (cd "$tree" && git apply -R -p1 "$patch")
done

total=$((${#patches[@]} - ${#broken[@]}))
echo
echo "caught $caught of $total planted faults"
[ ${#broken[@]} -eq 0 ] || echo "not run (do not apply or build): ${broken[*]}"
if [ ${#survivors[@]} -gt 0 ]; then
  echo "survivors: ${survivors[*]}"
  exit 1
fi
