#!/usr/bin/env bash
# Builds tavrel-bench and times the fast engine against the straightforward
# one (and OpenCV's StereoSGBM when libopencv-dev is installed) on a
# synthetic scene and, where ../shared/data exists, on a real one. Extra
# arguments go to tavrel-bench (--quick, --no-real, --scene DIR).
# Take numbers on an idle machine: the load average is printed with them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target tavrel-bench
"$build_dir/bench/tavrel-bench" "$@"
