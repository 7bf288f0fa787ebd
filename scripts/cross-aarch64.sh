#!/usr/bin/env bash
# Builds the engine's tests and tavrel-batch for aarch64 with Debian's cross
# compiler, runs the tests under qemu's user-mode emulation, and checks that
# the bundled example's output file made under emulation equals, byte for
# byte, the one this machine makes (on x86-64 also the one this machine's
# build makes on an emulated processor without AVX). Installs
# g++-aarch64-linux-gnu, qemu-user and the arm64 zlib when missing. Builds into
# build-aarch64/ (CROSS_BUILD_DIR) and uses the native build in build/
# (BUILD_DIR). GTEST_FILTER, when set, narrows the tests as usual.
set -euo pipefail
cd "$(dirname "$0")/.."
# The PNG decoder links zlib: the aarch64 one comes from Debian's arm64
# packages, which dpkg takes once the architecture is added.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi
scripts/setup.sh g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64

root=$PWD
host_dir=${BUILD_DIR:-build}
cross_dir=${CROSS_BUILD_DIR:-build-aarch64}
sysroot=/usr/aarch64-linux-gnu
emulator=(qemu-aarch64 -L "$sysroot")
cross=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
  -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++)
jobs=$(nproc)

# GoogleTest for aarch64, from the sources that libgtest-dev installs.
gtest_prefix=$root/$cross_dir/googletest
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$cross_dir/googletest-build" "${cross[@]}" \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$cross_dir/googletest-build" -j "$jobs"
  cmake --install "$cross_dir/googletest-build" >/dev/null
fi

engine_tests=(test_float_array test_initial_match_values test_cooperative_iteration
  test_disparity_extraction test_stereo_matcher test_fast_engine test_isa_path
  test_streamed_engine)
cmake -S . -B "$cross_dir" "${cross[@]}" -DTAVREL_BUILD_GUI=OFF \
  -DCMAKE_PREFIX_PATH="$gtest_prefix" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64;-L;$sysroot" >/dev/null
cmake --build "$cross_dir" -j "$jobs" --target "${engine_tests[@]}" tavrel-batch

# Some releases of qemu's user mode never return from a guest's second
# thread on some host kernels (Debian 12's qemu 7.2 on a 6.18 kernel hangs
# creating and joining one). A probe tells; where threads hang, everything
# runs on one thread and the cases that start threads of their own are left
# out, and the script says so.
probe=$cross_dir/thread-probe
printf '#include <thread>\nint main() { std::thread t([] {}); t.join(); }\n' >"$probe.cpp"
aarch64-linux-gnu-g++ -pthread "$probe.cpp" -o "$probe"
filter=${GTEST_FILTER:-*}
if ! timeout 30 "${emulator[@]}" "$probe"; then
  echo "qemu-aarch64 hangs on a second thread here: the emulated runs use one thread"
  export OMP_NUM_THREADS=1 OMP_THREAD_LIMIT=1
  case $filter in *-*) filter="$filter:*Thread*" ;; *) filter="$filter-*Thread*" ;; esac
fi

for t in "${engine_tests[@]}"; do
  echo "== $t (aarch64 under qemu)"
  "${emulator[@]}" "$cross_dir/tests/$t" --gtest_brief=1 --gtest_filter="$filter"
done

# The bundled example, natively and under emulation: the same bytes.
cmake -S . -B "$host_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$host_dir" -j "$jobs" --target tavrel-batch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for arch in native aarch64 sse2; do
  mkdir -p "$work/$arch"
  cp examples/scene/left.bmp examples/scene/right.bmp examples/scene/scene.cpd "$work/$arch/"
done
"$host_dir/cli/tavrel-batch" -q --pfm "$work/native/scene.cpd"
"${emulator[@]}" "$cross_dir/cli/tavrel-batch" -q --pfm "$work/aarch64/scene.cpd"
for file in scene.dis scene.pfm; do
  cmp "$work/native/$file" "$work/aarch64/$file"
done
# The native program on an emulated x86-64 processor without AVX: it must
# choose the baseline path, execute no newer instruction, and write the same.
if [ "$(uname -m)" = x86_64 ]; then
  qemu-x86_64 -cpu qemu64 "$host_dir/cli/tavrel-batch" -q --pfm "$work/sse2/scene.cpd"
  for file in scene.dis scene.pfm; do
    cmp "$work/native/$file" "$work/sse2/$file"
  done
  echo "x86-64 without AVX under qemu: the baseline path wrote the same files"
fi
echo "aarch64 under qemu: engine tests passed; the example's output file and PFM equal the native ones"
