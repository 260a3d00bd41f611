#!/usr/bin/env bash
# Installs what the build needs, then builds and installs the library, the
# imgnorm command-line tool and the Python package imgnorm (for the system
# Python, /usr/bin/python3) under PREFIX, /usr/local by default.
# Usage: scripts/install.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
prefix=${1:-/usr/local}
build=build/install

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DPython_EXECUTABLE=/usr/bin/python3 -DIMGNORM_BUILD_TESTS=OFF -DIMGNORM_BUILD_BENCH=OFF \
      -DIMGNORM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
if [ "$(id -u)" -eq 0 ] || [ -w "$prefix" ]; then
  cmake --install "$build" >/dev/null
else
  sudo cmake --install "$build" >/dev/null
fi

package_dir="$prefix/$(sed -n 's/^IMGNORM_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")"
found=$(cd / && /usr/bin/python3 -c "import imgnorm; print(imgnorm.__file__)" 2>/dev/null || true)
if [ "$found" = "$package_dir/imgnorm/__init__.py" ]; then
  echo "Installed into $prefix: /usr/bin/python3 imports imgnorm; the command-line tool is $prefix/bin/imgnorm."
else
  echo "Installed into $prefix; /usr/bin/python3 imports imgnorm with PYTHONPATH=$package_dir"
fi
