#!/usr/bin/env bash
# Installs the Debian packages the build needs (when missing), configures and
# builds. Usage: scripts/setup.sh [--sanitize LIST] [--build-dir DIR]
#   --packages-only   install the missing packages and stop
#   --also "PKG ..."  further packages to install when missing
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build_dir=""
packages_only=""
also=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --packages-only) packages_only=1; shift ;;
    --also) also="$2"; shift 2 ;;
    *) echo "setup.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  case "$sanitize" in
    "") build_dir=build ;;
    thread) build_dir=build-tsan ;;
    *) build_dir=build-asan ;;
  esac
fi

# The tool's argument parser and JSON writer are header-only (libcli11-dev,
# nlohmann-json3-dev). Beyond the build: pkg-config and python3's venv for the
# install test (the Python package builds without setuptools or wheel); numpy
# and matplotlib for the Python package's array and plot paths; clang for the
# public header's compile test; dpkg-dev (dpkg-shlibdeps) and file for the
# Debian package; umockdev and libftdi1 (with its libusb) for the tests through
# the real USB stacks on virtual chips, libpcap-dev for recording and replaying
# their sessions as usbmon captures. libqwt-qt5-dev (with qtbase5-dev's Qt
# Widgets and Test) for veldrin-scope, fonts-dejavu-core for its GUI test's
# text on the offscreen platform, desktop-file-utils to check its desktop entry.
packages="cmake make g++ qtbase5-dev libqwt-qt5-dev fonts-dejavu-core desktop-file-utils libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev python3
          pkg-config python3-venv python3-numpy python3-matplotlib
          clang dpkg-dev file umockdev libumockdev-dev libumockdev0 libftdi1-2 libpcap-dev $also"
bash scripts/install-packages.sh $packages
[ -n "$packages_only" ] && exit 0

jobs=$(nproc 2>/dev/null || echo 2)
build_type=RelWithDebInfo
[ -n "$sanitize" ] && build_type=Debug
benchmarks=ON
[ -n "$sanitize" ] && benchmarks=OFF
# Tests and benchmarks are named, so that a folder scripts/main.sh configured
# without them gets them.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=$build_type -DVELDRIN_SANITIZE="$sanitize" \
      -DVELDRIN_BUILD_TESTS=ON -DVELDRIN_BUILD_BENCHMARKS=$benchmarks >/dev/null
cmake --build "$build_dir" -j "$jobs"
