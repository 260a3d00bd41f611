#!/usr/bin/env bash
# Fuzzes with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer:
# the loading of stored tools (load_tool), of stored image buffers
# (pelbuffer_archive), and the command-line tool's image decoders
# (png_decode, pgm_decode, tiff_decode); see fuzz/README.md.
#   scripts/fuzz.sh smoke [TARGET...]         a fixed number of executions of
#                                             each target from its seed corpus
#                                             (reproducible, a few minutes in all)
#   scripts/fuzz.sh long SECONDS [TARGET...]  each target in turn for SECONDS, on a
#                                             scratch copy of its corpus
#                                             (fuzz/corpus-work/TARGET, kept between runs)
#   scripts/fuzz.sh corpus                    rewrites the named seeds of fuzz/corpus/TARGET
#   scripts/fuzz.sh merge                     adds to fuzz/corpus/TARGET what long runs
#                                             found that reaches new coverage
# Findings (crash-*, leak-*, timeout-*, oom-*) are written to build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(load_tool pelbuffer_archive png_decode pgm_decode tiff_decode)

# The fuzz build is clang's, with warnings as errors like the GCC builds.
cmake --preset fuzz -DIMGNORM_WERROR=ON >/dev/null
cmake --build --preset fuzz -j "$(nproc)" \
  --target "${all[@]/%/_fuzz}" make_corpus make_image_corpus >/dev/null

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
# The options of one target. Stored tools and buffers are a few KB and a load
# may use memory in proportion to its input, so an allocation of 256 MB is a
# finding. An image header may ask for up to 2^28 16-bit pixels (512 MiB)
# before its data turns out to be short, which the decoders allow.
options() {
  local common=(-timeout=20 -rss_limit_mb=2560 -artifact_prefix="$artifacts/$1-"
                -print_final_stats=1)
  case "$1" in
    *_decode) echo "${common[@]}" -max_len=65536 -malloc_limit_mb=1100 ;;
    *) echo "${common[@]}" -max_len=4096 -malloc_limit_mb=256 ;;
  esac
}

mode=${1:-}
shift || true
case "$mode" in
  smoke)
    targets=("$@")
    [ $# -gt 0 ] || targets=("${all[@]}")
    for t in "${targets[@]}"; do
      scratch=$(mktemp -d)
      # The tool loads and the TIFF files of the merged corpora run slowest.
      runs=10000
      case "$t" in load_tool | tiff_decode) runs=2000 ;; esac
      # shellcheck disable=SC2046
      build/fuzz/fuzz/"${t}_fuzz" $(options "$t") -seed=1 -runs="$runs" "$scratch" "fuzz/corpus/$t" \
        2>&1 | tail -n 12
      rm -rf "$scratch"
    done
    ;;
  long)
    seconds=${1:?usage: scripts/fuzz.sh long SECONDS [TARGET...]}
    shift
    targets=("$@")
    [ $# -gt 0 ] || targets=("${all[@]}")
    for t in "${targets[@]}"; do
      mkdir -p "fuzz/corpus-work/$t"
      cp -n "fuzz/corpus/$t"/* "fuzz/corpus-work/$t/"
      echo "== $t: $seconds s"
      # shellcheck disable=SC2046
      build/fuzz/fuzz/"${t}_fuzz" $(options "$t") -max_total_time="$seconds" "fuzz/corpus-work/$t"
    done
    ;;
  corpus)
    # Rewrites the named seeds; the units that long runs added (named by
    # their hash) and the regression_* files stay.
    build/fuzz/fuzz/make_corpus fuzz/corpus
    build/fuzz/fuzz/make_image_corpus fuzz/corpus
    ;;
  merge)
    # Adds to each seed corpus the units of fuzz/corpus-work that reach
    # coverage it does not.
    for t in "${all[@]}"; do
      [ -d "fuzz/corpus-work/$t" ] || continue
      # shellcheck disable=SC2046
      build/fuzz/fuzz/"${t}_fuzz" $(options "$t") -merge=1 "fuzz/corpus/$t" "fuzz/corpus-work/$t" 2>&1 | tail -n 1
    done
    ;;
  *)
    echo "usage: scripts/fuzz.sh smoke [TARGET...] | long SECONDS [TARGET...] | corpus | merge" >&2
    exit 2
    ;;
esac
