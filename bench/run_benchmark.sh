#!/usr/bin/env bash
# Times a full offline repair of a component store written the way Windows 10
# writes it against listing the same tree with `find WinSxS -type f`, and
# reports the repair's peak memory.
#
#   bench/run_benchmark.sh [COMPONENTS ...]
#
# COMPONENTS picks the store: 20000 (100,000 files, the default) or 60000
# (285,000 files); give both to see how the cost grows with the tree. Each
# store is timed with its hive in two states:
#   clean  the COMPONENTS hive alone;
#   dirty  a primary whose newest state lies in COMPONENTS.LOG1 and
#          COMPONENTS.LOG2, which the repair recovers first (timed when the
#          generator can write it, see make_dirty_set).
# Targets, for each store and state: the repair takes at most 1.3 times as
# long as find (warm cache, same run, best of 3), and its peak memory stays
# under the hive file's size plus 64 MiB. Exits 1 when a target is missed.
#
# Stores are generated once under build/bench/<COMPONENTS>/ and reused
# (remove that directory to regenerate). The repair rewrites the hive and
# leaves backups, so before every run the config directory gets back exactly
# the pristine files of the state being timed. Each command runs once untimed
# to warm the cache, then three times, alternating; the best time counts.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cmake --preset native >/dev/null
cmake --build --preset native -j2 --target tessaly make_benchmark_image >/dev/null

generator=build/native/make_benchmark_image
tessaly=build/native/tessaly
memory_allowance_mib=64
ratio_target=1.3

files_for() {
  case $1 in
    20000) echo 100000 ;;
    60000) echo 285000 ;;
    *) echo "unknown store size $1: use 20000 or 60000" >&2; exit 2 ;;
  esac
}

# Set per store by select_store.
components="" files="" store="" config="" winsxs=""

select_store() {
  components=$1
  files=$(files_for "$components")
  store=build/bench/$components
  config=$store/image/Windows/System32/config
  winsxs=$store/image/Windows/WinSxS
}

generate_store() {
  [[ -f $store/image.complete ]] && return
  echo "Generating the store of $components components under $store ..."
  rm -rf "$store"
  mkdir -p "$store/clean"
  "$generator" "$store/image" --components "$components" --files "$files"
  cp "$config/COMPONENTS" "$store/clean/"
  touch "$store/image.complete"
}

# The one place that knows how the dirty state is made. The generator writes
# the same store with its COMPONENTS hive left dirty beside COMPONENTS.LOG1
# and COMPONENTS.LOG2; the store's files are the same, so only the hive and
# its logs are kept. A generator that does not know the option answers with
# its usage (exit status 2): returns 1 and the dirty state is not timed.
make_dirty_set() {
  [[ -f $store/dirty.complete ]] && return 0
  local scratch=$store/dirty-image status=0
  rm -rf "$scratch" "$store/dirty"
  "$generator" "$scratch" --components "$components" --files "$files" --dirty >"$store/dirty.out" 2>&1 || status=$?
  if (( status == 2 )); then
    rm -rf "$scratch"
    return 1
  fi
  if (( status != 0 )); then
    echo "the generator failed on the dirty state; its output is in $store/dirty.out" >&2
    exit 1
  fi
  mkdir -p "$store/dirty"
  cp "$scratch"/Windows/System32/config/COMPONENTS* "$store/dirty/"
  rm -rf "$scratch"
  touch "$store/dirty.complete"
}

now() { date +%s.%N; }
seconds_between() { awk -v s="$1" -v e="$2" 'BEGIN {printf "%.3f", e - s}'; }
smaller() { awk -v a="$1" -v b="$2" 'BEGIN {print (a == "" || b < a) ? b : a}'; }

# Leaves in the config directory exactly the pristine files of a state: the
# repaired hive, the backups (and the log copies kept beside them), logs and
# temporary files of the last run all go. Flushed, so that the repair's own
# syncs do not pay for the copy.
restore() {
  local pristine=$1
  find "$config" -maxdepth 1 \( -iname 'COMPONENTS*' -o -name '.tessaly-*' \) -delete
  cp "$pristine"/* "$config/"
  sync "$config"/COMPONENTS*
}

# Runs the repair on fresh pristine files; sets tessaly_seconds (wall time)
# and tessaly_kib (peak resident set).
run_tessaly() {
  local pristine=$1 start end status=0
  restore "$pristine"
  start=$(now)
  /usr/bin/time -v -o "$store/time.txt" "$tessaly" "$store/image/Windows" >"$store/tessaly.out" 2>&1 || status=$?
  end=$(now)
  if (( status != 0 )); then
    echo "tessaly exited with $status; its output is in $store/tessaly.out" >&2
    exit 1
  fi
  tessaly_seconds=$(seconds_between "$start" "$end")
  tessaly_kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$store/time.txt")
}

# Sets find_seconds.
run_find() {
  local start end
  start=$(now)
  find "$winsxs" -type f >/dev/null
  end=$(now)
  find_seconds=$(seconds_between "$start" "$end")
}

missed=0

# Times one state of the current store and prints its figures.
time_state() {
  local state=$1 pristine=$store/$1
  local best_tessaly="" best_find="" peak_kib=0
  run_find
  run_tessaly "$pristine"
  for _ in 1 2 3; do
    run_tessaly "$pristine"
    run_find
    best_tessaly=$(smaller "$best_tessaly" "$tessaly_seconds")
    best_find=$(smaller "$best_find" "$find_seconds")
    if (( tessaly_kib > peak_kib )); then peak_kib=$tessaly_kib; fi
  done
  restore "$store/clean"

  local hive_bytes
  hive_bytes=$(stat -c %s "$pristine/COMPONENTS")
  awk -v state="$state" -v tessaly="$best_tessaly" -v find="$best_find" -v peak_kib="$peak_kib" \
      -v hive_bytes="$hive_bytes" -v files="$store_files" -v ratio_target="$ratio_target" \
      -v allowance_mib="$memory_allowance_mib" '
  BEGIN {
    mib = 1024 * 1024
    ratio = tessaly / find
    peak = peak_kib * 1024
    memory_target = hive_bytes + allowance_mib * mib
    ratio_ok = ratio <= ratio_target
    memory_ok = peak < memory_target
    printf "  %s (COMPONENTS %.1f MiB)\n", state, hive_bytes / mib
    printf "    tessaly:      %.3f s, %.1f us per file\n", tessaly, tessaly / files * 1e6
    printf "    find -type f: %.3f s, %.1f us per file\n", find, find / files * 1e6
    printf "    time ratio:   %.2f (target: at most %.2f) %s\n", ratio, ratio_target, ratio_ok ? "met" : "MISSED"
    printf "    peak memory:  %.1f MiB (target: under hive + %d MiB = %.1f MiB) %s\n", \
           peak / mib, allowance_mib, memory_target / mib, memory_ok ? "met" : "MISSED"
    exit (ratio_ok && memory_ok) ? 0 : 1
  }' || missed=1
}

sizes=("$@")
(( ${#sizes[@]} > 0 )) || sizes=(20000)
for size in "${sizes[@]}"; do files_for "$size" >/dev/null; done

for size in "${sizes[@]}"; do
  select_store "$size"
  generate_store
  store_files=$(find "$winsxs" -type f -path '*benchmark*' | wc -l)
  store_components=$(find "$winsxs" -mindepth 1 -maxdepth 1 -type d -name '*benchmark*' | wc -l)
  echo "Store: $store_components components, $store_files files (best of 3, warm cache)"
  time_state clean
  if make_dirty_set; then
    time_state dirty
  else
    echo "  dirty: not timed, the generator cannot write a dirty hive with logs yet"
  fi
done
exit $missed
