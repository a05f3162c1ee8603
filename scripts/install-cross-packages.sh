#!/usr/bin/env bash
# Installs what a Linux cross build for a Debian architecture (arm64, armhf)
# needs: the cross toolchain, that architecture's Qt 5 Core and GoogleTest
# beside the machine's own (multiarch), qemu-user to run its programs, and the
# build machine's tools (moc and rcc among them). libftdi1's and libusb's
# headers are the machine's own (libftdi1-dev is not co-installable for a
# second architecture): plain C declarations, from which the cross compiler
# lays out the target's records for the layout test (test_LibFtdiAbi).
# Usage: scripts/install-cross-packages.sh ARCH
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${1:?usage: install-cross-packages.sh ARCH}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo_cmd dpkg --add-architecture "$arch"
  $sudo_cmd apt-get update -qq
fi
bash scripts/install-packages.sh cmake make g++ perl python3 dpkg-dev file libcli11-dev nlohmann-json3-dev \
  qtbase5-dev-tools qemu-user libftdi1-dev libusb-1.0-0-dev "crossbuild-essential-$arch" "qtbase5-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch"
