#!/usr/bin/env bash
# Sets everything up, builds the library and the torvi program, and shows
# depth from the virtual camera: 30 frames captured and decoded with the
# camera's own calibration into a 16-bit depth PNG, a colourised PNG, a PLY
# point cloud and a distance frame file (in demo_out/, or $TORVI_DEMO_DIR),
# then the accuracy line of the self-test. Extra arguments go to
# `torvi capture`. When pybind11 and numpy are there it also installs the
# Python package into .venv (a virtual environment that sees Debian's numpy).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(torvi_cli)
if grep -q '^TORVI_BUILD_PYTHON:BOOL=ON' build/normal/CMakeCache.txt; then targets+=(torvi_python); fi
cmake --build build/normal -j "$(nproc)" --target "${targets[@]}"
if [ ${#targets[@]} -gt 1 ]; then
  [ -x .venv/bin/pip ] || /usr/bin/python3 -m venv --system-site-packages .venv
  TORVI_PY_PREBUILT=build/normal/python/torvi \
    .venv/bin/pip install -q --no-build-isolation --no-index --no-deps . >/dev/null
  echo "Python: .venv/bin/python3 -c 'import torvi' is ready (see README, Python)"
fi
out=${TORVI_DEMO_DIR:-demo_out}
mkdir -p "$out"
torvi=build/normal/tools/torvi/torvi
"$torvi" capture --virtual --frames 30 --no-save --png "$out/depth.png" \
  --color-png "$out/depth_color.png" --ply "$out/cloud.ply" --dist "$out/distance.frames" "$@"
"$torvi" selftest --virtual | tail -n 1
