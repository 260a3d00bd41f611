#!/usr/bin/env bash
# Fuzzes the loading of stored tools (fuzz/load_tool_fuzz.cpp) with libFuzzer
# under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh smoke          a fixed number of executions from the seed
#                                  corpus (reproducible, well under 2 minutes)
#   scripts/fuzz.sh long SECONDS   a long run on a scratch copy of the corpus
#                                  (fuzz/corpus-work, kept between runs)
#   scripts/fuzz.sh corpus         rewrites the seed corpus fuzz/corpus
# Findings (crash-*, leak-*, timeout-*, oom-*) are written to build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

# The fuzz build is clang's, with warnings as errors like the GCC builds.
cmake --preset fuzz -DIMGNORM_WERROR=ON >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target load_tool_fuzz make_corpus >/dev/null

fuzzer=build/fuzz/fuzz/load_tool_fuzz
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
# Inputs are stored tools of a few KB; a load may use memory in proportion to
# its input, so a single allocation of 256 MB is a finding.
options=(-max_len=4096 -timeout=20 -malloc_limit_mb=256 -rss_limit_mb=2048
         -artifact_prefix="$artifacts/" -print_final_stats=1)

case "${1:-}" in
  smoke)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    "$fuzzer" "${options[@]}" -seed=1 -runs=10000 "$scratch" fuzz/corpus
    ;;
  long)
    seconds=${2:?usage: scripts/fuzz.sh long SECONDS}
    mkdir -p fuzz/corpus-work
    cp -n fuzz/corpus/* fuzz/corpus-work/
    "$fuzzer" "${options[@]}" -max_total_time="$seconds" fuzz/corpus-work
    ;;
  corpus)
    rm -f fuzz/corpus/*
    build/fuzz/fuzz/make_corpus fuzz/corpus
    ;;
  *)
    echo "usage: scripts/fuzz.sh smoke | long SECONDS | corpus" >&2
    exit 2
    ;;
esac
