#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages, only when missing.
# Works as root on a fresh Debian 12 (uses sudo when not root and sudo exists).
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config git ccache
  libusb-1.0-0-dev zlib1g-dev libminizip-dev libzstd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev
  libpng-dev
  umockdev libumockdev-dev
  zip unzip
  clang libclang-rt-dev clang-format clang-tidy
  python3-dev python3-venv pybind11-dev python3-pybind11 python3-numpy python3-pytest
  python3-setuptools python3-wheel python3-pip
  nodejs
  libcivetweb-dev chromium
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# npm from Debian, unless the installed nodejs already brings its own.
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
      echo "deps: need root to install: ${missing[*]}" >&2; exit 1
    fi
  fi
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm packages of the test suite, each folder from its package.json and lock
# file: the independent MCAP reader that checks recordings (tests/record/node)
# and playwright-core, which drives Debian's chromium in the viewer's browser
# test (tests/web; no browser is downloaded).
root="$(cd "$(dirname "$0")/.." && pwd)"
for node_dir in "$root/tests/record/node" "$root/tests/web"; do
  if [ -f "$node_dir/package-lock.json" ] && [ ! -d "$node_dir/node_modules" ]; then
    echo "deps: installing the npm packages of $node_dir"
    (cd "$node_dir" && npm ci --no-audit --no-fund)
  fi
done
