#!/usr/bin/env bash
# Installs what the build needs, builds the library and its examples, and
# runs the normalization demo; its images go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target normalize_demo
mkdir -p out
build/release/examples/normalize_demo out
