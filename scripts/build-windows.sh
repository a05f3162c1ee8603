#!/usr/bin/env bash
# The Windows build, 32-bit (i686, the default) or 64-bit (x86_64): installs
# what it needs (MinGW-w64, Wine), builds Qt 5 Core and GoogleTest for the
# target once into a cache folder outside the repository, builds
# VeldrinLib.dll with the tool, the example and the tests, runs the tests
# under Wine and makes the zip package.
# Usage: scripts/build-windows.sh [--arch i686|x86_64] [--no-tests] [--build-dir DIR]
#   (build directory: build-win32 or build-win64)
# Environment: VELDRIN_CACHE (default ~/.cache/veldrin) for the Qt and
# GoogleTest builds. Each step prints the seconds it took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tests=1
arch=i686
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --no-tests) tests=""; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "build-windows.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$arch" in
  i686) bits=32; mingw_packages="gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix" ;;
  x86_64) bits=64; mingw_packages="gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine64" ;;
  *) echo "build-windows.sh: --arch is i686 or x86_64" >&2; exit 2 ;;
esac
build_dir="${build_dir:-build-win$bits}"

step_started=$SECONDS
step() {
  echo "== $1 (after $((SECONDS - step_started)) s)"
}

step "packages"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
# Wine for 32-bit programs needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
  $sudo_cmd apt-get update -qq
fi
bash scripts/install-packages.sh cmake make g++ perl python3 dpkg-dev zip unzip googletest libcli11-dev nlohmann-json3-dev \
  mingw-w64 $mingw_packages wine wine32:i386

toolchain="$root/cmake/mingw-w64-$arch.cmake"
cache="${VELDRIN_CACHE:-$HOME/.cache/veldrin}"
jobs=$(nproc 2>/dev/null || echo 2)

step "Qt 5 Core for $arch-w64-mingw32"
qt=$(bash scripts/build-qt-mingw.sh $arch)

step "GoogleTest for $arch-w64-mingw32"
gtest_recipe=$( (cat "$toolchain" "$root/cmake/mingw-w64.cmake"; dpkg-query -W -f='${Version}' googletest) | sha256sum | cut -c1-12)
gtest="$cache/gtest-$arch-mingw-$gtest_recipe"
if [ ! -f "$gtest/.complete" ]; then
  rm -rf "$gtest" "$gtest.build"
  cmake -S /usr/src/googletest -B "$gtest.build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build "$gtest.build" -j "$jobs" >/dev/null
  cmake --install "$gtest.build" >/dev/null
  rm -rf "$gtest.build"
  touch "$gtest/.complete"
fi

if [ -n "$tests" ]; then
  step "Wine"
  # A Wine prefix of the build's own (in the cache), whose server and
  # background processes are started before anything runs under Wine (test
  # discovery at build time, then ctest), detached from their output: started
  # by the first program instead, they would hold its output pipe open and
  # make it seem to take minutes. They are ended when the script ends, unless
  # the prefix was the caller's.
  export WINEDEBUG=-all
  # The 64-bit build has a 64-bit prefix of its own (a prefix made without
  # wine64 runs only 32-bit programs).
  if [ -z "${WINEPREFIX:-}" ]; then
    if [ "$bits" = 64 ]; then
      export WINEPREFIX="$cache/wine-prefix-win64" WINEARCH=win64
    else
      export WINEPREFIX="$cache/wine-prefix"
    fi
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  fi
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi

step "VeldrinLib for $arch-w64-mingw32"
# A build directory configured with another Qt (an older recipe) starts anew:
# CMake would keep finding that Qt.
if [ -f "$build_dir/CMakeCache.txt" ] && ! grep -q "^VELDRIN_QT_PREFIX:[A-Z]*=$qt\$" "$build_dir/CMakeCache.txt"; then
  rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
fi
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DVELDRIN_QT_PREFIX="$qt" -DVELDRIN_GTEST_PREFIX="$gtest" \
      -DVELDRIN_BUILD_TESTS=$([ -n "$tests" ] && echo ON || echo OFF) -DVELDRIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs"

if [ -n "$tests" ]; then
  step "tests under Wine"
  # Without the soak (five minutes of cycles; ctest -L soak runs it), as the
  # plain Linux run; the stress test shortened.
  # Its summary is repeated as the script's last line.
  VELDRIN_STRESS_SECONDS="${VELDRIN_STRESS_SECONDS:-5}" \
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" -LE soak | tee "$build_dir/ctest.log"
fi

step "package"
zip_file=$(bash scripts/package-windows.sh "$build_dir")
echo "$zip_file"
if [ -n "$tests" ]; then
  # The unpacked zip on its own (no WINEPATH): it carries every DLL it needs.
  unpacked=$(mktemp -d)
  unzip -q "$zip_file" -d "$unpacked"
  (cd "$unpacked"/*/ && WINEPATH= wine veldrin.exe --simulated "demo pace=fast" list </dev/null)
  rm -rf "$unpacked"
fi
step "done"
if [ -n "$tests" ]; then
  echo "VeldrinLib for $arch-w64-mingw32 under Wine: $(grep -m1 'tests passed' "$build_dir/ctest.log")"
fi
