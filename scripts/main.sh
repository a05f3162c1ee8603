#!/usr/bin/env bash
# The main job: builds the library and the veldrin tool, then runs a measurement
# on the built-in simulated instruments and shows the results it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ -x build/tools/veldrin ]; then
  mkdir -p out
  build/tools/veldrin --simulated demo list
  build/tools/veldrin --simulated demo measure --device 2 --channels 3 --period 3 --samples 200 --output out/measurement.csv
  head -n 12 out/measurement.csv
else
  echo "Built build/libVeldrinLib.so.3; the veldrin tool is not built yet."
fi
