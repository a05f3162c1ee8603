#!/usr/bin/env bash
# Builds Qt 5 Core (qtbase from Debian's source package) for a MinGW-w64
# target once, into a cache folder outside the repository, and prints that
# folder. The folder's name carries a hash of this script, so a changed
# recipe builds anew and an unchanged one is reused.
# Usage: scripts/build-qt-mingw.sh [i686|x86_64]
# Environment: VELDRIN_CACHE (default ~/.cache/veldrin).
set -euo pipefail
arch="${1:-i686}"
triplet="$arch-w64-mingw32"
here="$(cd "$(dirname "$0")" && pwd)"
cache="${VELDRIN_CACHE:-$HOME/.cache/veldrin}"
recipe=$(sha256sum "$here/build-qt-mingw.sh" | cut -c1-12)
prefix="$cache/qt5-${arch}-mingw-$recipe"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$cache"
src_root="$cache/qtbase-src"
log="$cache/qt5-${arch}-mingw-$recipe.log"

# The source package: Debian's qtbase, fetched with apt-get source, which needs
# a deb-src line for the archive the binaries come from.
if [ ! -d "$src_root" ] || ! ls -d "$src_root"/qtbase-opensource-src-*/ >/dev/null 2>&1; then
  if ! apt-get source --print-uris qtbase-opensource-src >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      # deb822 format: the same entries with Types: deb-src.
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        | $sudo_cmd tee /etc/apt/sources.list.d/veldrin-deb-src.sources >/dev/null
    else
      grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
        | $sudo_cmd tee /etc/apt/sources.list.d/veldrin-deb-src.list >/dev/null
    fi
    $sudo_cmd apt-get update -qq
  fi
  rm -rf "$src_root"
  mkdir -p "$src_root"
  (cd "$src_root" && apt-get source -qq qtbase-opensource-src >/dev/null)
fi
src=$(ls -d "$src_root"/qtbase-opensource-src-*/ | head -n1)

build="$cache/qt5-${arch}-mingw-$recipe.build"
rm -rf "$build" "$prefix"
mkdir -p "$build/compilers"
# The posix thread model's compilers under the plain names Qt's mkspec calls,
# so that Qt uses the same C++ runtime (libstdc++-6.dll) as the library.
for tool in gcc g++; do
  ln -s "$(command -v "$triplet-$tool-posix")" "$build/compilers/$triplet-$tool"
done
export PATH="$build/compilers:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)
echo "Building Qt 5 Core for $triplet into $prefix (log: $log)" >&2
(
  cd "$build"
  # QtCore with the host tools (qmake, moc, rcc) and nothing else.
  nice "$src/configure" -prefix "$prefix" -opensource -confirm-license \
    -xplatform win32-g++ -device-option CROSS_COMPILE="$triplet-" \
    -release -shared -nomake examples -nomake tests \
    -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl \
    -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib \
    -no-feature-concurrent \
    -qt-zlib -qt-pcre -qt-doubleconversion
  nice make -j"$jobs"
  make install
) >"$log" 2>&1 || { echo "Qt build failed; see $log" >&2; tail -n 30 "$log" >&2; exit 1; }
rm -rf "$build"
touch "$prefix/.complete"
echo "$prefix"
