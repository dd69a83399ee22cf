#!/usr/bin/env bash
# Sets everything up, builds the library and the torvi program, and captures
# frames from the virtual camera (extra arguments go to `torvi capture`).
# When pybind11 and numpy are there it also installs the Python package into
# .venv (a virtual environment that sees Debian's numpy).
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
exec build/normal/tools/torvi/torvi capture --virtual --frames 30 "$@"
