#!/usr/bin/env bash
# Quick start: installs what the build needs, builds the imgnorm command-line
# tool, generates the sample set, trains a tool on the golden image, runs
# every method on the run-time images, prints how far each result is from
# the golden image before and after, and writes an HTML report of it all.
# Everything goes to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target imgnorm_cli >/dev/null

imgnorm=build/release/apps/imgnorm
out=out
samples=$out/samples
rm -rf "$out/samples" "$out/runs" "$out/tool.imgnorm" "$out/report.html" "$out/report_files"
mkdir -p "$out/runs"

echo "== Sample set ($samples)"
"$imgnorm" samples "$samples"
images=(drift contrast ramp vignette shading defect)

# The tails method ignores the darkest and brightest 2 % of the pixels, so
# that a defect does not pull its gray map.
params=(--mask "$samples/mask.png" --tails 0.02,0.98)

echo
echo "== Training a tool for every method ($out/tool.imgnorm)"
source_args=()
if "$imgnorm" train --reference "$samples/golden.png" "${params[@]}" --methods all -o "$out/tool.imgnorm"; then
  "$imgnorm" info "$out/tool.imgnorm"
  source_args=(--tool "$out/tool.imgnorm")
else
  echo "(storing a tool is not available in this build: each run trains on the golden image instead)"
  source_args=(--reference "$samples/golden.png" "${params[@]}")
fi

methods=(identity histogram mean-stddev tails linear-fit local-mean local-median local-gain-offset local-gain)
echo
echo "== Normalizing (outputs in $out/runs/METHOD/)"
inputs=()
for i in "${images[@]}"; do inputs+=("$samples/$i.png"); done
for m in "${methods[@]}"; do
  if "$imgnorm" run "${source_args[@]}" --method "$m" -j 2 --no-progress --out-dir "$out/runs/$m" "${inputs[@]}" \
      >"$out/runs/$m.log" 2>&1; then
    echo "$m: done"
  else
    echo "$m: some images failed (see $out/runs/$m.log):"
    grep '^failed' "$out/runs/$m.log" | head -n 2 | sed 's/^/  /'
  fi
done

# Mean absolute difference to the golden image, over the pixels the mask
# includes (the label under the mask differs from part to part by design).
mad() {
  "$imgnorm" compare "$1" "$samples/golden.png" --mask "$samples/mask.png" | sed -n 's/^mean_abs_diff=\([0-9.]*\).*/\1/p'
}

# Which run-time images each method is meant for.
declare -A meant=(
  [identity]="drift"
  [histogram]="drift contrast defect"
  [mean-stddev]="drift contrast"
  [tails]="drift contrast defect"
  [linear-fit]="drift contrast defect"
  [local-mean]="ramp vignette drift"
  [local-median]="ramp vignette defect"
  [local-gain-offset]="drift contrast ramp vignette shading"
  [local-gain]="vignette shading"
)

report=$out/report.txt
{
  printf '%-14s %-10s %8s %8s\n' method image before after
  for m in "${methods[@]}"; do
    for i in "${images[@]}"; do
      before=$(mad "$samples/$i.png")
      if [ -f "$out/runs/$m/$i.png" ]; then after=$(mad "$out/runs/$m/$i.png"); else after="n/a"; fi
      printf '%-14s %-10s %8s %8s\n' "$m" "$i" "$before" "$after"
    done
  done
} >"$report"

echo
echo "== Mean absolute difference to the golden image, in gray levels"
echo "   (each method on the images it is meant for; every pair is in $report)"
printf '%-14s %-10s %8s %8s\n' method image before after
for m in "${methods[@]}"; do
  for i in ${meant[$m]}; do
    awk -v m="$m" -v i="$i" '$1 == m && $2 == i { printf "%-14s %-10s %8s %8s%s\n", $1, $2, $3, $4, ($4 == "n/a" ? "  (not available)" : "") }' "$report"
  done
done

echo
echo "== HTML report: every method on every run-time image"
if ! "$imgnorm" report "${source_args[@]}" -j 2 --no-progress -o "$out/report.html" "${inputs[@]}" \
    >"$out/report.log" 2>&1; then
  echo "(some images or methods failed: see $out/report.log)"
fi
echo "Open in a browser: $(cd "$out" && pwd)/report.html"
