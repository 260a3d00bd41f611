#!/usr/bin/env bash
# Installs what the build needs, then builds and runs the whole test suite:
# the release build, then the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer,
# then a short fuzzing smoke run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

# The concurrency tests under ThreadSanitizer: only the test program that
# holds them is built, and only they run. The library runs them with one
# worker thread (IMGNORM_NUM_THREADS=1 in the preset): the races checked are
# those between the callers' threads; oneTBB's own pool is not instrumented
# in the system's build, so ThreadSanitizer cannot see its synchronization.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
  scripts/fuzz.sh smoke
fi
echo "All tests passed."
