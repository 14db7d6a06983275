#!/usr/bin/env bash
# Times a dry run of tessaly-offline.exe under Wine against the Linux tool on
# the same store, warm cache, with one thread (-j 1) and the default jobs,
# best of 3 after one untimed run each. Figures only: Wine's file calls are
# not Windows' own, so no target is set.
#
#   bench/wine_benchmark.sh [COMPONENTS]
#
# COMPONENTS picks the store run_benchmark.sh generates (20000, the
# default, or 60000), under build/bench/<COMPONENTS>/, with its clean
# COMPONENTS hive. The Wine prefix is made once in build/bench/wine-prefix.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
components=${1:-20000}

if [[ ! -f build/bench/$components/image.complete ]]; then
  echo "No store of $components components yet: run bench/run_benchmark.sh $components first." >&2
  exit 2
fi
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target tessaly >/dev/null
cmake --workflow --preset win64 >/dev/null

export PATH=/usr/lib/wine:$PATH WINEDEBUG=-all WINEPREFIX=$repo/build/bench/wine-prefix
[[ -d $WINEPREFIX ]] || wine64 wineboot -i >/dev/null 2>&1
wineserver -p 60

windows=$repo/build/bench/$components/image/Windows
config=$windows/System32/config
cp build/bench/"$components"/clean/COMPONENTS "$config/"
find "$config" -maxdepth 1 -name 'COMPONENTS.*' -delete

now() { date +%s.%N; }

# Best of three wall times of the command, after one untimed run.
best_of_three() {
  local best="" start end seconds
  "$@" >/dev/null 2>&1
  for _ in 1 2 3; do
    start=$(now)
    "$@" >/dev/null 2>&1
    end=$(now)
    seconds=$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}')
    best=$(awk -v a="$best" -v b="$seconds" 'BEGIN {print (a == "" || b < a) ? b : a}')
  done
  echo "$best"
}

exe=$repo/build/win64/tessaly-offline.exe
windows_path="Z:${windows//\//\\}"
printf '%-44s %8s\n' "dry run, $components components, warm cache" seconds
for jobs in 1 default; do
  options=()
  [[ $jobs == default ]] || options=(-j "$jobs")
  linux=$(best_of_three build/native/tessaly --dry-run "${options[@]}" "$windows")
  wine=$(best_of_three wine64 "$exe" --dry-run "${options[@]}" "$windows_path")
  printf '%-44s %8s\n' "tessaly (Linux), jobs $jobs" "$linux"
  printf '%-44s %8s  (%.2fx Linux)\n' "tessaly-offline.exe under Wine, jobs $jobs" "$wine" \
    "$(awk -v w="$wine" -v l="$linux" 'BEGIN {print w / l}')"
done
wineserver -k || true
