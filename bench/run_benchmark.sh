#!/usr/bin/env bash
# Times a full offline repair of a component store of realistic size (20,000
# components, 100,000 files) against listing the same tree with find, and
# reports the repair's peak memory. Targets: the repair takes at most twice
# as long as find, and its peak memory stays under twice the COMPONENTS hive
# plus 64 MiB. Exits 1 when a target is missed.
#
# The image is generated once under build/bench/ and reused. The repair
# rewrites the hive, so every run starts from a copy of the pristine hive,
# with the backups of earlier runs removed (the tool never overwrites one).
# Each command runs once untimed to warm the cache, then three times; the
# best time of each counts.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cmake --preset native >/dev/null
cmake --build --preset native -j2 >/dev/null

bench=build/bench
image=$bench/image
pristine=$bench/COMPONENTS.pristine
config=$image/Windows/System32/config
hive=$config/COMPONENTS
winsxs=$image/Windows/WinSxS
tessaly=build/native/tessaly
mkdir -p "$bench"

if [[ ! -f $bench/image.complete ]]; then
  echo "Generating the benchmark image under $image ..."
  rm -rf "$image" "$pristine"
  build/native/make_benchmark_image "$image"
  cp "$hive" "$pristine"
  touch "$bench/image.complete"
fi

now() { date +%s.%N; }
seconds_between() { awk -v s="$1" -v e="$2" 'BEGIN {printf "%.3f", e - s}'; }
smaller() { awk -v a="$1" -v b="$2" 'BEGIN {print (a == "" || b < a) ? b : a}'; }

# Runs the repair on a fresh copy of the hive; sets tessaly_seconds (wall
# time) and tessaly_kib (peak resident set).
run_tessaly() {
  cp "$pristine" "$hive"
  rm -f "$config"/COMPONENTS.tessaly-backup*
  local start end status=0
  start=$(now)
  /usr/bin/time -v -o "$bench/time.txt" "$tessaly" "$image/Windows" >"$bench/tessaly.out" 2>&1 || status=$?
  end=$(now)
  if [[ $status -ne 0 ]]; then
    echo "tessaly exited with $status; its output is in $bench/tessaly.out" >&2
    exit 1
  fi
  tessaly_seconds=$(seconds_between "$start" "$end")
  tessaly_kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$bench/time.txt")
}

# Sets find_seconds.
run_find() {
  local start end
  start=$(now)
  find "$winsxs" -type f >/dev/null
  end=$(now)
  find_seconds=$(seconds_between "$start" "$end")
}

run_find
run_tessaly

best_tessaly=""
best_find=""
peak_kib=0
for _ in 1 2 3; do
  run_tessaly
  run_find
  best_tessaly=$(smaller "$best_tessaly" "$tessaly_seconds")
  best_find=$(smaller "$best_find" "$find_seconds")
  if (( tessaly_kib > peak_kib )); then peak_kib=$tessaly_kib; fi
done
cp "$pristine" "$hive"
rm -f "$config"/COMPONENTS.tessaly-backup*

components=$(find "$winsxs" -mindepth 1 -maxdepth 1 -type d -name '*benchmark*' | wc -l)
files=$(find "$winsxs" -type f -path '*benchmark*' | wc -l)
hive_bytes=$(stat -c %s "$pristine")

awk -v tessaly="$best_tessaly" -v find="$best_find" -v peak_kib="$peak_kib" -v hive_bytes="$hive_bytes" \
    -v components="$components" -v files="$files" '
BEGIN {
  mib = 1024 * 1024
  ratio = tessaly / find
  peak = peak_kib * 1024
  memory_target = 2 * hive_bytes + 64 * mib
  printf "Image:            %d components, %d files, COMPONENTS hive %.1f MiB\n", components, files, hive_bytes / mib
  printf "tessaly:          %.3f s (best of 3, warm cache)\n", tessaly
  printf "find -type f:     %.3f s (best of 3, warm cache)\n", find
  ratio_ok = ratio <= 2.0
  memory_ok = peak < memory_target
  printf "Time ratio:       %.2f (target: at most 2.00) %s\n", ratio, ratio_ok ? "met" : "MISSED"
  printf "Peak memory:      %.1f MiB (target: under 2 x hive + 64 MiB = %.1f MiB) %s\n", \
         peak / mib, memory_target / mib, memory_ok ? "met" : "MISSED"
  exit (ratio_ok && memory_ok) ? 0 : 1
}'
