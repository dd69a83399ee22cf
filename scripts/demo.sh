#!/usr/bin/env bash
# Sets everything up, builds the library and the torvi program, and captures
# frames from the virtual camera (extra arguments go to `torvi capture`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j "$(nproc)" --target torvi_cli
exec build/normal/tools/torvi/torvi capture --virtual --frames 30 "$@"
