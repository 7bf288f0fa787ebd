#!/usr/bin/env bash
# Fuzzes the directions-file reader, the image decoder and the whole batch run
# on tiny images with libFuzzer and AddressSanitizer. Not part of the normal test run.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 300)
#
# Installs clang-14 and libclang-rt-14-dev (apt, through scripts/setup.sh) when missing. Builds
# into build-fuzz/, works on a corpus there seeded from tests/fuzz/seeds/; crashing inputs land in
# build-fuzz/crashes/<target>/. Copy each one, once fixed, into
# tests/fuzz/regressions/<target>/ so that the normal tests keep checking it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
out=build-fuzz
mkdir -p "$out"

# clang-14 with libFuzzer, beside the headers and libraries the sources need.
scripts/setup.sh clang-14 libclang-rt-14-dev

# The packaged PNG decoder copies zero bytes from a null pointer for an empty
# IDAT chunk; harmless, so that one check is left out to let fuzzing go on.
flags=(-std=c++20 -O1 -g -I. -ffp-contract=off -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
       -fsanitize=fuzzer,address,undefined -fno-sanitize=nonnull-attribute
       -fno-sanitize-recover=undefined)
engine=(engine/float_array.cpp)

build() {
  local name=$1
  shift
  echo "fuzz.sh: building $name"
  clang++-14 "${flags[@]}" "tests/fuzz/$name.cpp" "$@" -lz -o "$out/$name"
}

build fuzz_image_decoding imageio/*.cpp "${engine[@]}"
build fuzz_directions_reader files/directions_reader.cpp
build fuzz_batch_run imageio/*.cpp files/*.cpp engine/*.cpp -Wno-unknown-pragmas

status=0
for target in fuzz_image_decoding fuzz_directions_reader fuzz_batch_run; do
  seeds=tests/fuzz/seeds/${target#fuzz_}
  corpus=$out/corpus/$target
  crashes=$out/crashes/$target
  mkdir -p "$corpus" "$crashes"
  inputs=("$seeds")
  [ -d "tests/fuzz/regressions/${target#fuzz_}" ] && inputs+=("tests/fuzz/regressions/${target#fuzz_}")
  echo "fuzz.sh: running $target for $seconds s"
  if ! "$out/$target" "$corpus" "${inputs[@]}" -max_total_time="$seconds" -max_len=65536 \
      -rss_limit_mb=2048 -artifact_prefix="$crashes/" -print_final_stats=1 \
      >"$out/$target.log" 2>&1; then
    echo "fuzz.sh: $target found a failure, see $out/$target.log and $crashes/" >&2
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$target.log" || true
done
exit $status
