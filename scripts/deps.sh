#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages, only when missing.
# Works as root on a fresh Debian 12 (uses sudo when not root and sudo exists).
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config git
  libusb-1.0-0-dev zlib1g-dev libminizip-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev
  libpng-dev
  umockdev libumockdev-dev
  zip unzip
  clang libclang-rt-dev clang-format clang-tidy
  libcivetweb-dev chromium nodejs
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Debian's nodejs comes without npm; a nodejs build that bundles npm must not
# get Debian's npm beside it (the two conflict).
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

root=$(cd "$(dirname "$0")/.." && pwd)
# The browser tests' npm packages, from each package-lock.json.
npm_installs() {
  for dir in "$root/tests/web"; do
    if [ -f "$dir/package-lock.json" ] && [ ! -d "$dir/node_modules" ]; then
      (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
    fi
  done
}

if [ ${#missing[@]} -eq 0 ]; then
  npm_installs
  exit 0
fi

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
npm_installs
