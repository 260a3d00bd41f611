#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already there.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

# clang's runtime for the sanitizers and fuzzers; oneTBB for parallel rows;
# libtiff for TIFF files; pybind11, numpy, pytest, Dask and scikit-image for
# the Python package and its tests; Chromium for the report's browser test.
packages=(cmake g++ make libgtest-dev libbenchmark-dev libpng-dev libcli11-dev clang libclang-rt-14-dev
          libtbb-dev libtiff-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
          python3-dask python3-distributed python3-skimage chromium "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
run_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1
  fi
}
export DEBIAN_FRONTEND=noninteractive
run_root apt-get update -qq
run_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
