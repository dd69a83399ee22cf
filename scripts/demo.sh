#!/usr/bin/env bash
# Sets everything up, builds the library and the torvi program, and shows
# depth from the virtual camera: 30 frames captured and decoded with the
# camera's own calibration into a 16-bit depth PNG, a colourised PNG, a PLY
# point cloud and a distance frame file (in demo_out/, or $TORVI_DEMO_DIR),
# then the accuracy line of the self-test. Extra arguments go to
# `torvi capture`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j "$(nproc)" --target torvi_cli
out=${TORVI_DEMO_DIR:-demo_out}
mkdir -p "$out"
torvi=build/normal/tools/torvi/torvi
"$torvi" capture --virtual --frames 30 --no-save --png "$out/depth.png" \
  --color-png "$out/depth_color.png" --ply "$out/cloud.ply" --dist "$out/distance.frames" "$@"
"$torvi" selftest --virtual | tail -n 1
