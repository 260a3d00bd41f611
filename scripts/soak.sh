#!/usr/bin/env bash
# Soak: normalizes IMAGES images (default 10,000) through `imgnorm run -j 2`
# once per method, sampling the process's resident memory as the batch goes,
# and checks that every output equals the output of the same input normalized
# alone. Passes when, after WARMUP images (default 1,000), resident memory
# never grows more than LIMIT_MIB (default 4) above its value at that point.
# Not part of CI; run it on a release build, niced on a shared machine:
#   nice -n 10 scripts/soak.sh [IMAGES]
# Environment: IMGNORM (the executable, default build/release/apps/imgnorm),
# SOAK_DIR (scratch folder, default build/soak), METHODS, WARMUP, LIMIT_MIB, SIZE.
set -euo pipefail
cd "$(dirname "$0")/.."

images=${1:-10000}
imgnorm=$(realpath "${IMGNORM:-build/release/apps/imgnorm}")
dir=${SOAK_DIR:-build/soak}
warmup=${WARMUP:-1000}
limit=${LIMIT_MIB:-4}
size=${SIZE:-320x240}
methods=${METHODS:-"identity histogram mean-stddev tails linear-fit local-mean local-median local-gain-offset local-gain flat-field"}

rm -rf "$dir"
mkdir -p "$dir/in"
"$imgnorm" samples "$dir/samples" --size "$size" >/dev/null
sources=(drift contrast ramp vignette shading defect golden)
# The inputs are hard links to the sample images: image i is sources[i % 7].
for ((i = 0; i < images; i++)); do
  ln "$dir/samples/${sources[i % ${#sources[@]}]}.png" "$(printf '%s/in/%06d.png' "$dir" "$i")"
done

echo "imgnorm soak: $images images of $size per method, -j 2, warm-up $warmup images, limit +$limit MiB"
printf '%-18s %9s %12s %12s %12s %8s %s\n' method seconds "rss@warmup" "rss max" "rss end" growth outputs
failed=0
for method in $methods; do
  common=(--reference "$dir/samples/golden.png" --mask "$dir/samples/mask.png" --method "$method" --no-progress)
  [ "$method" = flat-field ] && common+=(--dark "$dir/samples/contrast.png" --flat "$dir/samples/golden.png")
  [ "$method" = identity ] && common=(--method identity --no-progress)
  # What each source gives normalized alone.
  rm -rf "$dir/expected" "$dir/out"
  "$imgnorm" run "${common[@]}" --out-dir "$dir/expected" \
    $(for s in "${sources[@]}"; do echo "$dir/samples/$s.png"; done) >/dev/null
  start=$(date +%s.%N)
  "$imgnorm" run "${common[@]}" -j 2 --out-dir "$dir/out" "$dir/in" >"$dir/stdout" &
  pid=$!
  : >"$dir/rss"
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$rss" ] && echo "$(wc -l <"$dir/stdout") $rss" >>"$dir/rss"
    sleep 0.2
  done
  wait "$pid"
  seconds=$(echo "$(date +%s.%N) - $start" | bc)
  # Every output equals its source's output alone.
  declare -A want=()
  for s in "${sources[@]}"; do want[$s]=$(md5sum <"$dir/expected/$s.png" | cut -d' ' -f1); done
  bad=0
  while read -r sum file; do
    i=$((10#$(basename "$file" .png)))
    [ "$sum" = "${want[${sources[i % ${#sources[@]}]}]}" ] || bad=$((bad + 1))
  done < <(find "$dir/out" -name '*.png' -print0 | xargs -0 md5sum)
  count=$(find "$dir/out" -name '*.png' | wc -l)
  unset want
  # Resident memory at the first sample after the warm-up, its largest
  # value after it, and at the end (KiB).
  read -r atWarmup maxAfter atEnd < <(awk -v w="$warmup" '
    $1 >= w { if (first == "") first = $2; if ($2 > max) max = $2; last = $2 }
    END { print first, max, last }' "$dir/rss")
  growth=$(( (maxAfter - atWarmup) / 1024 ))
  verdict=ok
  if [ "$bad" -ne 0 ] || [ "$count" -ne "$images" ] || [ "$growth" -gt "$limit" ]; then
    verdict=FAILED
    failed=1
  fi
  printf '%-18s %9.1f %9d KiB %8d KiB %8d KiB %5d MiB %d (%d wrong) %s\n' "$method" "$seconds" \
    "$atWarmup" "$maxAfter" "$atEnd" "$growth" "$count" "$bad" "$verdict"
  rm -rf "$dir/out"
done
exit "$failed"
