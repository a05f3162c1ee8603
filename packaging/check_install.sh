#!/usr/bin/env bash
# Uses an installed VeldrinLib as a host project would. Installs the build into
# a temporary prefix, moves the prefix (an installed tree must not depend on
# where it was installed), then:
#   - checks what was installed, and that no installed text file or run path
#     names the build or source tree;
#   - builds packaging/consumer with find_package(VeldrinLib 3 CONFIG) and
#     examples/measure.c with pkg-config alone, and runs both on the simulated bus;
#   - runs the installed veldrin tool;
#   - installs the Python package with pip, offline, into a virtual environment
#     and checks that it loads the installed library through the system's
#     library search, and that VELDRIN_LIBRARY still overrides that.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR BUILT_LIBRARY
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
built_library=$3
cmake=${CMAKE_COMMAND:-cmake}
cc=${CC:-cc}
unset VELDRIN_LIBRARY LD_LIBRARY_PATH PKG_CONFIG_PATH

work=$(cd "$(mktemp -d)" && pwd -P)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# The file the dynamic loader takes for libVeldrinLib.so.3 when it starts PROGRAM.
loaded_library() {
  ldd "$1" | sed -n 's/.*libVeldrinLib\.so\.3 => \(.*\) (0x.*/\1/p' | xargs -r readlink -f
}

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
"$cmake" --install "$build" --prefix "$work/installed" --strip >/dev/null
mv "$work/installed" "$work/prefix"
prefix=$work/prefix

echo "== installed files"
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' \
         | sed 's|VeldrinLibTargets-[a-z]*\.cmake|VeldrinLibTargets-CONFIG.cmake|' | sort)
expected=$(sort <<EOF
bin/veldrin
include/VeldrinLib.h
$libdir/libVeldrinLib.so
$libdir/libVeldrinLib.so.3
$libdir/libVeldrinLib.so.3.0.0
$libdir/cmake/VeldrinLib/VeldrinLibConfig.cmake
$libdir/cmake/VeldrinLib/VeldrinLibConfigVersion.cmake
$libdir/cmake/VeldrinLib/VeldrinLibTargets.cmake
$libdir/cmake/VeldrinLib/VeldrinLibTargets-CONFIG.cmake
$libdir/pkgconfig/veldrinlib.pc
lib/udev/rules.d/70-veldrin-ftdi.rules
share/doc/veldrinlib/LICENSE
share/doc/veldrinlib/README.md
share/doc/veldrinlib/copyright
share/doc/veldrinlib/hardware-linux.md
share/doc/veldrinlib/simulated-bus.md
share/doc/veldrinlib/simulated-instruments.md
EOF
)
# The live view is installed where the build had Qt Widgets and Qwt for it.
if [ -x "$build/scope/veldrin-scope" ]; then
  expected=$(sort <<EOF
$expected
bin/veldrin-scope
share/applications/veldrin-scope.desktop
share/icons/hicolor/scalable/apps/veldrin-scope.svg
EOF
)
fi
if [ "$actual" != "$expected" ]; then
  fail "installed files differ from the expected list"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi
[ "$(readlink "$prefix/$libdir/libVeldrinLib.so")" = libVeldrinLib.so.3 ] || fail "development link"
[ "$(readlink "$prefix/$libdir/libVeldrinLib.so.3")" = libVeldrinLib.so.3.0.0 ] || fail "soname link"
soname=$(readelf -d "$prefix/$libdir/libVeldrinLib.so.3.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libVeldrinLib.so.3 ] || fail "soname is '$soname'"

echo "== no build-tree paths"
for file in $(cd "$prefix" && find . -type f); do
  if readelf -h "$prefix/$file" >/dev/null 2>&1; then
    text=$(readelf -d "$prefix/$file" | grep -E 'RPATH|RUNPATH' || true)
  else
    text=$(cat "$prefix/$file")
  fi
  case "$text" in
    *"$build"*|*"$source"*|*"$work/installed"*) fail "$file names the build tree, the source tree or the install-time prefix" ;;
  esac
done
# Stripped binaries: no path of the build or source tree survives anywhere.
if grep -r -a -l -F -e "$build" -e "$source" "$prefix" >/dev/null; then
  fail "a build or source path in: $(grep -r -a -l -F -e "$build" -e "$source" "$prefix" | tr '\n' ' ')"
fi

echo "== find_package consumer"
if "$cmake" -S "$source/packaging/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
     -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 \
   && "$cmake" --build "$work/cmake-consumer" >"$work/build.log" 2>&1; then
  grep -F "VeldrinLib 3.0.0 from $prefix/$libdir/cmake/VeldrinLib" "$work/configure.log" \
    || fail "find_package did not take the installed package"
  "$work/cmake-consumer/consumer" || fail "the find_package consumer failed"
  [ "$(loaded_library "$work/cmake-consumer/consumer")" = "$prefix/$libdir/libVeldrinLib.so.3.0.0" ] \
    || fail "the find_package consumer does not load the installed library"
else
  cat "$work/configure.log" "$work/build.log" >&2 || true
  fail "the find_package consumer did not build"
fi

echo "== pkg-config consumer (examples/measure.c)"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion veldrinlib)" = 3.0.0 ] || fail "pkg-config --modversion"
flags=$(pkg-config --cflags --libs veldrinlib)
echo "pkg-config --cflags --libs veldrinlib: $flags"
if "$cc" -std=c99 -o "$work/measure" "$source/examples/measure.c" $flags; then
  LD_LIBRARY_PATH="$prefix/$libdir" "$work/measure" || fail "the pkg-config consumer failed"
else
  fail "examples/measure.c did not build with pkg-config"
fi
unset PKG_CONFIG_PATH

echo "== installed tool"
"$prefix/bin/veldrin" --simulated demo list | tee "$work/list.txt"
grep -q "2 devices" "$work/list.txt" || fail "veldrin list"
[ "$(loaded_library "$prefix/bin/veldrin")" = "$prefix/$libdir/libVeldrinLib.so.3.0.0" ] \
  || fail "the installed tool does not load the installed library"

echo "== Python package: pip install, offline"
# The package builds with its own standard-library backend: any python3 with
# venv (Debian: python3-venv) will do, no setuptools or wheel needed.
python=""
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import venv, ensurepip' 2>/dev/null; then python=$candidate; break; fi
done
if [ -z "$python" ]; then
  fail "no python3 with venv"
else
  cp -r "$source/python" "$work/python-source"
  "$python" -m venv --system-site-packages "$work/venv"
  if "$work/venv/bin/python" -m pip install --quiet --no-index \
       "$work/python-source" >"$work/pip.log" 2>&1; then
    cat >"$work/use.py" <<'EOF'
import os, sys, veldrin
here = os.path.dirname(veldrin.__file__)
assert "site-packages" in here, here
with veldrin.Library(simulated="demo") as lib:
    volts = lib.device(lib.index_of("SYBH00801xxxx")).measure(channels=1, period=6, samples=50)
    assert len(volts[1]) == 50, volts
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libVeldrinLib" in line}
print("loaded:", " ".join(sorted(loaded)))
assert loaded == {sys.argv[1]}, loaded
EOF
    (cd "$work" && LD_LIBRARY_PATH="$prefix/$libdir" "$work/venv/bin/python" use.py \
       "$prefix/$libdir/libVeldrinLib.so.3.0.0") || fail "the installed Python package did not load the installed library"
    (cd "$work" && LD_LIBRARY_PATH="$prefix/$libdir" VELDRIN_LIBRARY="$built_library" \
       "$work/venv/bin/python" use.py "$(readlink -f "$built_library")") \
      || fail "VELDRIN_LIBRARY did not override the system's library search"
  else
    cat "$work/pip.log" >&2
    fail "pip install of the Python package"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed" >&2
  exit 1
fi
echo "install and consumers: all checks passed"
