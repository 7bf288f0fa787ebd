#!/usr/bin/env bash
# Installs what is needed, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
# The Python module's tests, with the interpreter it was built for. Collecting
# no tests (pytest's status 5) means they went missing: a failure too.
build_dir=${BUILD_DIR:-build}
PYTHONPATH="$build_dir/python${PYTHONPATH:+:$PYTHONPATH}" TAVREL_BUILD_DIR="$build_dir" \
  "$(cat "$build_dir/python/interpreter")" -m pytest -q -p no:cacheprovider python/tests
