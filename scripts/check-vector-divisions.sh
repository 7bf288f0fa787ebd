#!/usr/bin/env bash
# Lists the engine's vector kernels that divide one lane at a time.
#
#   scripts/check-vector-divisions.sh path/to/libtavrel_engine.a
#
# Every kernel is compiled once per instruction-set path (the OnV4, OnV3 and
# OnBaseline wrappers of fast_isa.h). A scalar division inside one is a lane
# the compiler gave up on: a loop's remainder, or a branch it would not turn
# into a select. Exits 1, naming each such kernel, if there is any.
set -euo pipefail
library=${1:?usage: check-vector-divisions.sh LIBRARY}
command -v objdump >/dev/null || { echo "objdump not found" >&2; exit 2; }
found=$(objdump -d --no-show-raw-insn -C "$library" | awk '
  /^[0-9a-f]+ <.*>:$/ { kernel = ($0 ~ /isa_detail::On(V4|V3|Baseline)</) ? $0 : ""; next }
  kernel != "" && /\t(v)?div(ss|sd) / { count[kernel]++ }
  END { for (k in count) print count[k] " scalar divisions in " k }')
if [[ -n $found ]]; then
  echo "$found" | sort -rn
  exit 1
fi
echo "no scalar division in any kernel of any path"
