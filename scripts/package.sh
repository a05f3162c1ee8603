#!/usr/bin/env bash
# Builds the Debian package veldrinlib_<version>-1_<arch>.deb in build-deb/: a
# release build of the library and the tool for prefix /usr, then cpack. Checks
# the package's files, dependencies and control files, and lists its contents.
# Usage: scripts/package.sh [--clean-root] [--arch arm64|armhf [--build-dir DIR]]
#   --clean-root  then installs the package with dpkg on a fresh minimal Debian
#                 root (mmdebstrap, as root, from the machine's own apt
#                 sources) and builds examples/measure.c there with pkg-config
#                 alone (packaging/check_clean_root.sh)
#   --arch        cross-builds the package of that architecture in
#                 build-deb-<arch>/ (the toolchains of scripts/build-arm.sh);
#                 without Qwt for that architecture the package has no
#                 veldrin-scope
#   --build-dir   packages an existing release build of that architecture
#                 (scripts/build-arm.sh's, tests and all) instead: it is only
#                 reconfigured for prefix /usr, which changes no program
set -euo pipefail
cd "$(dirname "$0")/.."
clean_root=""
arch=""
build_dir=""
reuse=""
while [ $# -gt 0 ]; do
  case "$1" in
    --clean-root) clean_root=1; shift ;;
    --arch) arch="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; reuse=1; shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

cross=()
case "$arch" in
  "") bash scripts/setup.sh --packages-only ${clean_root:+--also mmdebstrap} ;;
  arm64|armhf)
    bash scripts/install-cross-packages.sh "$arch"
    build_dir="${build_dir:-build-deb-$arch}"
    # The Debian layout named outright: a build folder configured before it
    # was the toolchain's default keeps the plain lib/ in its cache.
    libdir="lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)"
    cross=(-DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/linux-$([ "$arch" = arm64 ] && echo aarch64 || echo armhf).cmake"
           -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" -DCMAKE_INSTALL_LIBDIR:PATH="$libdir"
           -DVELDRIN_INSTALL_CMAKEDIR="$libdir/cmake/VeldrinLib") ;;
  *) echo "package.sh: --arch is arm64 or armhf" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
if [ -n "$reuse" ]; then
  [ -n "$arch" ] || { echo "package.sh: --build-dir goes with --arch" >&2; exit 2; }
  [ -f "$build_dir/CMakeCache.txt" ] || { echo "package.sh: no build in $build_dir" >&2; exit 2; }
  cmake -S . -B "$build_dir" -DCMAKE_INSTALL_PREFIX=/usr "${cross[@]}" >/dev/null
else
  build_dir="${build_dir:-build-deb}"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr "${cross[@]}" \
        -DVELDRIN_BUILD_TESTS=OFF -DVELDRIN_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build_dir" -j "$jobs"
rm -f "$build_dir"/*.deb
# dpkg-shlibdeps finds the dependencies among the packages of the target architecture.
(cd "$build_dir" && DEB_HOST_ARCH="${arch:-$(dpkg --print-architecture)}" cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/veldrinlib_*.deb)
echo "== $deb"
dpkg-deb --info "$deb"
echo "== contents"
dpkg-deb --contents "$deb"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
multiarch=$(dpkg-architecture ${arch:+-a$arch} -qDEB_HOST_MULTIARCH 2>/dev/null)
actual=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
# A cross build without the target's Qwt has no live view (veldrin-scope).
with_scope=1
if [ -n "$arch" ] && ! grep -qx usr/bin/veldrin-scope <<<"$actual"; then
  with_scope=""
fi
expected=$(sort <<EOF | grep -v '^$'
usr/bin/veldrin
${with_scope:+usr/bin/veldrin-scope}
usr/include/VeldrinLib.h
usr/lib/$multiarch/libVeldrinLib.so
usr/lib/$multiarch/libVeldrinLib.so.3
usr/lib/$multiarch/libVeldrinLib.so.3.0.0
usr/lib/$multiarch/cmake/VeldrinLib/VeldrinLibConfig.cmake
usr/lib/$multiarch/cmake/VeldrinLib/VeldrinLibConfigVersion.cmake
usr/lib/$multiarch/cmake/VeldrinLib/VeldrinLibTargets.cmake
usr/lib/$multiarch/cmake/VeldrinLib/VeldrinLibTargets-release.cmake
usr/lib/$multiarch/pkgconfig/veldrinlib.pc
usr/lib/udev/rules.d/70-veldrin-ftdi.rules
usr/share/doc/veldrinlib/LICENSE
usr/share/doc/veldrinlib/README.md
usr/share/doc/veldrinlib/copyright
usr/share/doc/veldrinlib/hardware-linux.md
usr/share/doc/veldrinlib/simulated-bus.md
usr/share/doc/veldrinlib/simulated-instruments.md
${with_scope:+usr/share/applications/veldrin-scope.desktop}
${with_scope:+usr/share/icons/hicolor/scalable/apps/veldrin-scope.svg}
EOF
)
if [ "$actual" != "$expected" ]; then
  fail "package files differ from the expected list"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi
depends=$(dpkg-deb --field "$deb" Depends)
case "$depends" in
  *libqt5core5a*) ;;
  *) fail "Depends lacks libqt5core5a: $depends" ;;
esac
dpkg-deb --field "$deb" Suggests | grep -q 'libftdi1-2' || fail "Suggests lacks libftdi1-2"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs)" = \
  "libVeldrinLib 3 veldrinlib (= $(dpkg-deb --field "$deb" Version))" ] || fail "shlibs"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' \
  || fail "no ldconfig trigger"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"
grep -qx 'prefix=/usr' "$unpacked/usr/lib/$multiarch/pkgconfig/veldrinlib.pc" || fail "veldrinlib.pc prefix"
for program in veldrin ${with_scope:+veldrin-scope}; do
  if readelf -d "$unpacked/usr/bin/$program" | grep -qE 'RPATH|RUNPATH'; then
    fail "the packaged $program carries a run path"
  fi
done
if [ -n "$with_scope" ]; then
  case "$depends" in
    *libqwt-qt5*) ;;
    *) fail "Depends lacks libqwt-qt5 (veldrin-scope): $depends" ;;
  esac
  desktop-file-validate "$unpacked/usr/share/applications/veldrin-scope.desktop" \
    || fail "veldrin-scope.desktop does not validate"
fi
if [ "$failures" -ne 0 ]; then
  echo "$failures package checks failed" >&2
  exit 1
fi
echo "package checks passed"

if [ -n "$clean_root" ]; then
  root=$(mktemp -d)/root
  trap 'rm -rf "$unpacked" "$(dirname "$root")"' EXIT
  # The hooks run inside the new root with /proc, /sys and /dev mounted; the
  # root has apt and a compiler, nothing of this project.
  mmdebstrap --quiet --variant=apt --include=gcc,libc6-dev,pkg-config,python3-venv,python3-pip \
    --customize-hook="copy-in $deb examples/measure.c python packaging/check_clean_root.sh /tmp" \
    --customize-hook="chroot \"\$1\" sh /tmp/check_clean_root.sh /tmp/$(basename "$deb")" \
    "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$root"
fi
