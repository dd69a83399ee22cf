#!/usr/bin/env bash
# Sets everything up, builds, and runs the main job on the virtual camera.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j "$(nproc)"
if [ -x build/normal/tools/torvi/torvi ]; then
  exec build/normal/tools/torvi/torvi capture --virtual --frames 30 "$@"
fi
echo "The capture tool is not built yet in this tree; the library and its tests are." >&2
exit 1
