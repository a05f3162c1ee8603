#!/bin/sh
# Runs inside a fresh minimal Debian root that has apt, gcc, pkg-config and
# python3 but nothing of this project (scripts/package.sh --clean-root makes it
# and copies the package, examples/measure.c and python/ into /tmp):
#   dpkg -i of the package stops on the missing Qt runtime it depends on, apt
#   brings that in, then examples/measure.c builds with pkg-config alone and
#   runs on the simulated bus; the tool runs; the Python package installs
#   offline with pip into a venv and finds the library through ldconfig's
#   cache; removing the package removes its files.
# Usage: check_clean_root.sh PACKAGE.deb
set -eu
deb=$1
export DEBIAN_FRONTEND=noninteractive
cd /tmp

echo "== dpkg -i $deb"
if dpkg -i "$deb" >dpkg.log 2>&1; then
  cat dpkg.log
  echo "FAIL: dpkg -i succeeded without the Qt runtime: the Depends field is incomplete" >&2
  exit 1
fi
cat dpkg.log
grep -q 'depends on libqt5core5a' dpkg.log
apt-get install --fix-broken --yes --quiet --no-install-recommends >apt.log 2>&1 || { cat apt.log; exit 1; }
dpkg-query --show --showformat='${db:Status-Abbrev} ${Package} ${Version}\n' veldrinlib libqt5core5a
ldconfig -p | grep -F libVeldrinLib.so.3

echo "== cc measure.c \$(pkg-config --cflags --libs veldrinlib)"
flags=$(pkg-config --cflags --libs veldrinlib)
echo "pkg-config: $flags"
cc measure.c $flags -o measure
./measure

echo "== veldrin"
veldrin --simulated demo list
veldrin doctor --sysfs /tmp/no-sysfs >doctor.txt 2>&1 || true
head -n 5 doctor.txt

echo "== pip install ./python (offline) into a venv"
python3 -m venv --system-site-packages venv
venv/bin/pip install --quiet --no-index --no-build-isolation ./python
(cd / && /tmp/venv/bin/python -c '
import ctypes.util, veldrin
print("find_library:", ctypes.util.find_library("VeldrinLib"))
with veldrin.Library(simulated="demo") as lib:
    print("python:", lib.device_count(), "devices,",
          len(lib.device(2).measure(channels=1, period=6, samples=20)[1]), "values")
')

echo "== dpkg --purge"
dpkg --purge veldrinlib
if [ -e /usr/lib/udev/rules.d/70-veldrin-ftdi.rules ] || ldconfig -p | grep -q libVeldrinLib; then
  echo "FAIL: files of the package remain" >&2
  exit 1
fi
echo "clean root: all checks passed"
