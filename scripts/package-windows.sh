#!/usr/bin/env bash
# Makes the Windows zip from a Windows build (scripts/build-windows.sh):
# VeldrinLib.dll with the DLLs it imports (Qt 5 Core and the MinGW C++
# runtime) and their licence texts, the import library, the .def file, the
# header, veldrin.exe and the README for Windows hosts.
# Usage: scripts/package-windows.sh BUILD_DIR   (writes BUILD_DIR/VeldrinLib-<version>-win32.zip or -win64.zip)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:?usage: package-windows.sh BUILD_DIR}"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
runtime=$(sed -n 's/^VELDRIN_RUNTIME_DLLS:INTERNAL=//p' "$build_dir/CMakeCache.txt")
if grep -q '^CMAKE_SIZEOF_VOID_P.*=8' "$build_dir/CMakeCache.txt" 2>/dev/null \
   || objdump -f "$build_dir/VeldrinLib.dll" | grep -q 'pei-x86-64'; then
  platform=win64
else
  platform=win32
fi
name="VeldrinLib-$version-$platform"
stage="$build_dir/$name"
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage/licenses"

cp "$build_dir/VeldrinLib.dll" "$build_dir/VeldrinLib.lib" "$build_dir/VeldrinLib.def" \
   "$build_dir/tools/veldrin.exe" src/VeldrinLib.h "$stage/"
IFS=';' read -r -a dlls <<<"$runtime"
for dll in "${dlls[@]}"; do
  cp "$dll" "$stage/"
done
# Without their debugging symbols (the C++ runtime carries 20 MB of them); the
# exports stay.
strip_tool=$([ "$platform" = win64 ] && echo x86_64-w64-mingw32-strip || echo i686-w64-mingw32-strip)
for binary in "$stage"/*.dll "$stage"/*.exe; do
  "$strip_tool" --strip-unneeded "$binary"
done
# The README for this width.
if [ "$platform" = win64 ]; then
  readme=(64 x64 libgcc_s_seh-1.dll x86_64 "32-bit programs need VeldrinLib-$version-win32.zip")
else
  readme=(32 x86 libgcc_s_dw2-1.dll i686
          "on 64-bit Windows too, where they run under WOW64; 64-bit programs need VeldrinLib-$version-win64.zip")
fi
sed -e "s/@BITS@/${readme[0]}/g; s/@MACHINE@/${readme[1]}/; s/@GCC_DLL@/${readme[2]}/; s/@MINGW@/${readme[3]}/" \
    -e "s/@OTHER_NOTE@/${readme[4]}/" packaging/windows/README.txt >"$stage/README.txt"
cp examples/measure.c "$stage/example-measure.c"

# Licences: Qt 5 Core under the LGPL version 3 (which builds on the GPL
# version 3 text); the GCC runtime under the GPL with the GCC Runtime Library
# Exception; winpthreads under its MIT-style licence (in MinGW-w64's notice).
cp /usr/share/common-licenses/LGPL-3 "$stage/licenses/Qt5Core-LGPL-3.txt"
cp /usr/share/common-licenses/GPL-3 "$stage/licenses/GPL-3.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/libstdc++-libgcc-copyright.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/mingw-w64-winpthreads-copyright.txt"

# Windows line ends for the texts a Windows host reads.
for text in "$stage/README.txt" "$stage/licenses/"*.txt; do
  sed -i 's/\r\{0,1\}$/\r/' "$text"
done

(cd "$build_dir" && zip -qr "$name.zip" "$name")
rm -rf "$stage"
echo "$build_dir/$name.zip"
