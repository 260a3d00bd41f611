#!/usr/bin/env bash
# How long a report of a large batch takes to make and to open: writes the
# sample set, a batch of N images (copies of its five run-time images under
# other names), the report of every method on them, and then opens the
# report in headless Chromium R times, printing the time from navigation to
# the page's load event (the smallest, and all of them).
# Usage: bench/report_open.sh [N=200] [R=5]   (after a release build)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-200}
runs=${2:-5}
imgnorm=build/release/apps/imgnorm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$imgnorm" samples "$work/s" >/dev/null
mkdir "$work/batch"
names=(drift contrast ramp vignette defect)
for ((i = 0; i < n; ++i)); do
  name=${names[i % 5]}
  cp "$work/s/$name.png" "$work/batch/$(printf %04d "$i")-$name.png"
done

start=$(date +%s.%N)
"$imgnorm" report --reference "$work/s/golden.png" --mask "$work/s/mask.png" -j 2 --no-progress \
  -o "$work/report.html" "$work/batch" >/dev/null
end=$(date +%s.%N)
echo "report of $n images x 6 methods: $(echo "$end - $start" | bc) s to make," \
  "$(du -h "$work/report.html" | cut -f1) page, $(du -sh "$work/report_files" | cut -f1) of full-size images"

# A copy of the page that logs its load time to the console (the page's
# policy allows inline scripts).
sed 's#</body>#<script>addEventListener("load", function () { setTimeout(function () {\
console.log("LOADED " + Math.round(performance.now())); }, 0); });</script></body>#' \
  "$work/report.html" >"$work/timed.html"
times=()
for ((r = 0; r < runs; ++r)); do
  rm -rf "$work/profile"
  t=$(timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --host-resolver-rules='MAP * ~NOTFOUND' --user-data-dir="$work/profile" --window-size=1400,1000 \
        --enable-logging=stderr --v=0 --screenshot="$work/shot.png" "file://$work/timed.html" 2>&1 |
      sed -n 's/.*LOADED \([0-9]*\).*/\1/p' | head -n 1)
  times+=("$t")
done
best=$(printf '%s\n' "${times[@]}" | sort -n | head -n 1)
echo "opened (navigation to load event) in $best ms at best; all runs: ${times[*]} ms"
