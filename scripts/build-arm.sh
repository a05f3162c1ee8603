#!/usr/bin/env bash
# The Linux build for ARM boards, 64-bit (arm64) or 32-bit (armhf): installs
# Debian's cross toolchain, the target's multiarch Qt 5 Core and GoogleTest
# and qemu-user, cross-builds the library, the tool, the example and the
# tests, runs the tests that use the simulated bus under qemu-user, and makes
# the Debian package of that architecture (scripts/package.sh --arch).
# Usage: scripts/build-arm.sh --arch arm64|armhf [--ci | --suites LIST] [--no-tests] [--no-package]
#                             [--build-dir DIR]
#   --suites LIST  builds and runs only these test programs (test_<Area>,
#                  comma-separated) besides the checks of the library, the
#                  tool and the example
#   --ci           the test programs CI runs for this architecture (docs/arm.md)
#   (build directory: build-arm64 or build-armhf)
set -euo pipefail
cd "$(dirname "$0")/.."

arch=""
tests=1
package=1
build_dir=""
suites=""
ci=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --no-tests) tests=""; shift ;;
    --no-package) package=""; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --suites) suites="$2"; shift 2 ;;
    --ci) ci=1; shift ;;
    *) echo "build-arm.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$arch" in
  arm64) toolchain=cmake/linux-aarch64.cmake ;;
  armhf) toolchain=cmake/linux-armhf.cmake ;;
  *) echo "build-arm.sh: --arch is arm64 or armhf" >&2; exit 2 ;;
esac
build_dir="${build_dir:-build-$arch}"
if [ -n "$ci" ]; then
  # What CI builds and runs under emulation within its time (docs/arm.md says
  # why): on arm64 every suite but the simulator's own, the stress test and
  # the soak; on armhf those where 32-bit words and pointers change something
  # (the vendors' records, the wire and storage formats, sizes and counts of
  # results, the C API) rather than the threads and timing that arm64 covers.
  if [ "$arch" = arm64 ]; then
    suites=$(cd tests && ls test_*.cpp | sed 's/\.cpp$//' | grep -vxE 'test_Simulated.*|test_Stress|test_Soak' | paste -sd, -)
  else
    suites=test_LibFtdiAbi,test_FtdiLibrary,test_capi_Ftd2xx,test_capi_LibFtdi,test_ProtocolParser,test_Properties
    suites=$suites,test_Veldrin_I_Blocks,test_Veldrin_II_Blocks,test_StreamInterpreter,test_DeviceInfo,test_Bootloader
    suites=$suites,test_USBResult,test_capi_HostApi,test_capi_MeasurementModel,test_capi_VendorReads,test_StreamingResults
  fi
fi

step_started=$SECONDS
step() {
  echo "== $1 (after $((SECONDS - step_started)) s)"
}

step "packages"
bash scripts/install-cross-packages.sh "$arch"

step "configure VeldrinLib for Linux $arch"
jobs=$(nproc 2>/dev/null || echo 2)
# For prefix /usr, so that the package is made from this build.
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" \
      -DVELDRIN_BUILD_TESTS=$([ -n "$tests" ] && echo ON || echo OFF) -DVELDRIN_BUILD_BENCHMARKS=OFF \
      -DVELDRIN_TEST_PROGRAMS="${suites//,/;}" >/dev/null
step "build"
cmake --build "$build_dir" -j "$jobs"

if [ -n "$tests" ]; then
  step "tests under qemu-user"
  # The suites on the simulated bus, the stress test shortened, without the
  # soak (label soak: minutes of cycles; ctest -L soak runs it).
  VELDRIN_STRESS_SECONDS="${VELDRIN_STRESS_SECONDS:-5}" \
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" -LE soak | tee "$build_dir/qemu-tests.log"
fi

if [ -n "$package" ]; then
  step "package"
  bash scripts/package.sh --arch "$arch" --build-dir "$build_dir"
fi
step "done"
if [ -n "$tests" ]; then
  echo "Linux $arch under qemu-user: $(grep -E 'tests passed' "$build_dir/qemu-tests.log")"
fi
