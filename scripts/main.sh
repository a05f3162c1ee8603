#!/usr/bin/env bash
# The main job: builds the library and the veldrin tool (nothing else), then
# measures on the built-in simulated instruments and shows what it measured.
# The build's output goes to build/main-build.log; on failure its end is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build out
log=build/main-build.log
step() { echo "== $*"; }
fail_with_log() { echo "FAILED; the end of $log:" >&2; tail -n 40 "$log" >&2; exit 1; }

step "building the library and the tool (quietly; log in $log)"
# Only what the library and the tool need; scripts/setup.sh and test.sh
# install the rest. A build folder configured here builds no tests or
# benchmarks until setup.sh configures it again (it switches them on).
bash scripts/install-packages.sh cmake make g++ qtbase5-dev libcli11-dev nlohmann-json3-dev >"$log" 2>&1 ||
  fail_with_log
options=""
[ -f build/CMakeCache.txt ] || options="-DVELDRIN_BUILD_TESTS=OFF -DVELDRIN_BUILD_BENCHMARKS=OFF"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $options >>"$log" 2>&1 || fail_with_log
cmake --build build --target veldrin -j "$(nproc 2>/dev/null || echo 2)" >>"$log" 2>&1 || fail_with_log
veldrin=build/tools/veldrin

step "the simulated instruments: $veldrin --simulated demo list"
"$veldrin" --simulated demo list

step "DAC 1 of instrument 2 set to a 1 V, 50 Hz sine; input 1 sees it, one sample every 1 ms"
"$veldrin" --simulated demo --device 2 \
  dac --channel 1 --waveform 0 --amplitude 1000 --offset 0 --frequency 50 \
  measure --channels 1 --period 6 --samples 20 --output out/measurement.csv
echo "-- out/measurement.csv: $(awk '/^[^#]/ { exit } { n++ } END { print n }' out/measurement.csv) lines of" \
  "metadata, one row per sample, and the closing '# complete: $(sed -n 's/^# complete: //p' out/measurement.csv)':"
grep '^# \(serial_number\|period_s\|spike_filter\|calibration\|started_utc\)' out/measurement.csv
# The rows drawn as a bar chart: time, volts, and a mark at the value.
grep -v '^#' out/measurement.csv | awk -F, 'NR == 1 { printf "  %-8s %-9s\n", $3, $4; next }
  { n = int(($4 + 1) * 20 + 0.5); bar = sprintf("%*s", n, ""); printf "  %-8s %9.6f |%s*\n", $3, $4, bar }'
echo "(the 5-sample spike filter, on by default, lags two samples and clips the peaks to 0.951 V;"
echo " --raw turns it off.  All options: $veldrin --help)"
