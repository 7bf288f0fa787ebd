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
# The array job on a one-node Slurm of the test's own: its own script, since it
# starts daemons and takes about half a minute (skipped, status 77, unless root).
status=0
tests/slurm/run_slurm_test.sh "$build_dir" || status=$?
if ((status == 77)); then
  echo "Slurm array job test skipped: it needs root"
elif ((status != 0)); then
  echo "Slurm array job test failed"
  exit "$status"
fi
