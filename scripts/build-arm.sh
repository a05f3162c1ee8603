#!/usr/bin/env bash
# The Linux build for ARM boards, 64-bit (arm64) or 32-bit (armhf): installs
# Debian's cross toolchain, the target's multiarch Qt 5 Core and GoogleTest
# and qemu-user, cross-builds the library, the tool, the example and the
# tests, runs the tests that use the simulated bus under qemu-user, and makes
# the Debian package of that architecture (scripts/package.sh --arch).
# Usage: scripts/build-arm.sh --arch arm64|armhf [--no-tests] [--no-package] [--build-dir DIR]
#   (build directory: build-arm64 or build-armhf)
set -euo pipefail
cd "$(dirname "$0")/.."

arch=""
tests=1
package=1
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --no-tests) tests=""; shift ;;
    --no-package) package=""; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "build-arm.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$arch" in
  arm64) toolchain=cmake/linux-aarch64.cmake ;;
  armhf) toolchain=cmake/linux-armhf.cmake ;;
  *) echo "build-arm.sh: --arch is arm64 or armhf" >&2; exit 2 ;;
esac
build_dir="${build_dir:-build-$arch}"

step_started=$SECONDS
step() {
  echo "== $1 (after $((SECONDS - step_started)) s)"
}

step "packages"
bash scripts/install-cross-packages.sh "$arch"

step "VeldrinLib for Linux $arch"
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DVELDRIN_BUILD_TESTS=$([ -n "$tests" ] && echo ON || echo OFF) -DVELDRIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs"

if [ -n "$tests" ]; then
  step "tests under qemu-user"
  # The suites on the simulated bus, the stress test shortened, without the
  # soak (label soak: minutes of cycles; ctest -L soak runs it).
  VELDRIN_STRESS_SECONDS="${VELDRIN_STRESS_SECONDS:-5}" \
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" -LE soak
fi

if [ -n "$package" ]; then
  step "package"
  bash scripts/package.sh --arch "$arch"
fi
step "done"
