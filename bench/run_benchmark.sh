#!/usr/bin/env bash
# Times a full offline repair of a component store written the way Windows 10
# writes it, with one thread (-j 1), two (-j 2) and the default number of
# read-ahead threads, against listing the same tree with `find WinSxS -type
# f` and with `fdfind -u -t f` (the parallel walker of Debian's fd-find,
# installed when missing), and reports the repair's peak memory.
#
#   bench/run_benchmark.sh [--cold-ntfs] [COMPONENTS ...]
#
# COMPONENTS picks the store: 20000 (100,000 files, the default) or 60000
# (285,000 files); give both to see how the cost grows with the tree. Each
# store is timed with its hive in two states:
#   clean  the COMPONENTS hive alone;
#   dirty  a primary whose newest state lies in COMPONENTS.LOG1 and
#          COMPONENTS.LOG2, which the repair recovers first.
# Targets, for each store and state (warm cache, same run, best of 7): with
# the default jobs the repair takes at most 0.75 times as long as find; with
# -j 1 the walk (a dry run) stays within 1.1 times, what it cost before there
# were jobs, while its full repair adds a write and flush of the whole hive
# that find does not do, and is reported beside it; peak memory stays under
# the hive file's size plus 64 MiB. Exits 1 when a target is missed.
#
# --cold-ntfs also copies the first store onto an NTFS volume in a loop file,
# mounted through ntfs-3g (needs root), and times -j 1, the default jobs and
# find with a cold cache: before each run the volume is unmounted, the page
# cache dropped and the volume mounted again. Target: the default jobs no
# slower than -j 1 (ntfs-3g serves one request at a time).
#
# Stores are generated once under build/bench/<COMPONENTS>/ and reused
# (remove that directory to regenerate). The repair rewrites the hive and
# leaves backups, so before every run the config directory gets back exactly
# the pristine files of the state being timed. Each command runs once untimed
# to warm the cache, then seven times, in turn, each round starting with
# another job setting; the best time counts. Seven rounds, because one
# run's time depends on more than the tool: a virtual machine that hands
# freed memory back to its host makes the run that touches it first pay for
# it, in its own pages and in the page cache of the hive it writes.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cold_ntfs=false
if [[ ${1:-} == --cold-ntfs ]]; then
  cold_ntfs=true
  shift
fi

cmake --preset native >/dev/null
cmake --build --preset native -j2 --target tessaly make_benchmark_image >/dev/null

if ! command -v fdfind >/dev/null; then
  echo "Installing fd-find ..."
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends fd-find >/dev/null
fi

generator=build/native/make_benchmark_image
tessaly=build/native/tessaly
memory_allowance_mib=64
rounds=7
default_ratio_target=0.75
single_ratio_target=1.1
# The runs timed: one thread, two, and the default; their options by name.
# And dry runs with one thread and with the default jobs: the walk without
# the save, whose write and flush of the whole hive cost what the disk makes
# them cost.
declare -A job_options=([j1]="-j 1" [j2]="-j 2" [default]="" [dry1]="-j 1 --dry-run" [dry]="--dry-run")
job_settings=(j1 j2 default dry1 dry)

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
# its logs are kept.
make_dirty_set() {
  [[ -f $store/dirty.complete ]] && return 0
  local scratch=$store/dirty-image
  rm -rf "$scratch" "$store/dirty"
  if ! "$generator" "$scratch" --components "$components" --files "$files" --dirty >"$store/dirty.out" 2>&1; then
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
# temporary files of the last run all go. The file system is flushed, so
# that the repair's own syncs pay neither for the copy nor for the removals.
restore() {
  local pristine=$1
  find "$config" -maxdepth 1 \( -iname 'COMPONENTS*' -o -name '.tessaly-*' \) -delete
  cp "$pristine"/* "$config/"
  sync -f "$config"
}

# Runs the repair with the given options (word-split) on fresh pristine
# files; sets tessaly_seconds (wall time) and tessaly_kib (peak resident set).
run_tessaly() {
  local pristine=$1 options=$2 start end status=0
  restore "$pristine"
  start=$(now)
  # shellcheck disable=SC2086
  /usr/bin/time -v -o "$store/time.txt" "$tessaly" $options "$store/image/Windows" >"$store/tessaly.out" 2>&1 ||
    status=$?
  end=$(now)
  if (( status != 0 )); then
    echo "tessaly $options exited with $status; its output is in $store/tessaly.out" >&2
    exit 1
  fi
  tessaly_seconds=$(seconds_between "$start" "$end")
  tessaly_kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$store/time.txt")
}

# Sets lister_seconds for one listing of the tree: find or fd.
run_lister() {
  local lister=$1 start end
  start=$(now)
  case $lister in
    find) find "$winsxs" -type f >/dev/null ;;
    fd) fdfind -u -t f . "$winsxs" >/dev/null ;;
  esac
  end=$(now)
  lister_seconds=$(seconds_between "$start" "$end")
}

missed=0

# Prints one figure against find, and its target when it has one.
report() {
  local label=$1 seconds=$2 find_seconds=$3 target=${4:-}
  awk -v label="$label" -v s="$seconds" -v f="$find_seconds" -v files="$store_files" -v target="$target" '
  BEGIN {
    line = sprintf("    %-16s %7.3f s  %5.1f us/file  %.2f x find", label, s, s / files * 1e6, s / f)
    if (target != "") line = line sprintf("  (target: at most %.2f) %s", target, s / f <= target ? "met" : "MISSED")
    print line
    exit (target == "" || s / f <= target) ? 0 : 1
  }' || missed=1
}

# Times one state of the current store, every job setting and both listers
# in turn, and prints the figures.
time_state() {
  local state=$1 pristine=$store/$1
  local -A best=()
  local peak_kib=0 setting
  run_lister find
  run_lister fd
  run_tessaly "$pristine" ""
  local round i
  for ((round = 0; round < rounds; round++)); do
    # Each round starts with another setting, so that none always runs
    # right after the same one (the save before it leaves the disk busy).
    for ((i = 0; i < ${#job_settings[@]}; i++)); do
      setting=${job_settings[(round + i) % ${#job_settings[@]}]}
      run_tessaly "$pristine" "${job_options[$setting]}"
      best[$setting]=$(smaller "${best[$setting]:-}" "$tessaly_seconds")
      if (( tessaly_kib > peak_kib )); then peak_kib=$tessaly_kib; fi
    done
    for lister in find fd; do
      run_lister "$lister"
      best[$lister]=$(smaller "${best[$lister]:-}" "$lister_seconds")
    done
  done
  restore "$store/clean"

  local hive_bytes
  hive_bytes=$(stat -c %s "$pristine/COMPONENTS")
  awk -v state="$state" -v hive_bytes="$hive_bytes" \
      'BEGIN {printf "  %s (COMPONENTS %.1f MiB)\n", state, hive_bytes / 1024 / 1024}'
  report "tessaly -j 1" "${best[j1]}" "${best[find]}"
  report "tessaly -j 2" "${best[j2]}" "${best[find]}"
  report "tessaly" "${best[default]}" "${best[find]}" "$default_ratio_target"
  report "tessaly -j 1 -n" "${best[dry1]}" "${best[find]}" "$single_ratio_target"
  report "tessaly -n" "${best[dry]}" "${best[find]}"
  report "find -type f" "${best[find]}" "${best[find]}"
  report "fdfind -u -t f" "${best[fd]}" "${best[find]}"
  awk -v peak_kib="$peak_kib" -v hive_bytes="$hive_bytes" -v allowance_mib="$memory_allowance_mib" '
  BEGIN {
    mib = 1024 * 1024
    peak = peak_kib * 1024
    target = hive_bytes + allowance_mib * mib
    printf "    peak memory:     %.1f MiB (target: under hive + %d MiB = %.1f MiB) %s\n", \
           peak / mib, allowance_mib, target / mib, peak < target ? "met" : "MISSED"
    exit peak < target ? 0 : 1
  }' || missed=1
}

# The first store on an NTFS volume through ntfs-3g, each run with a cold
# cache: the volume is mounted afresh after the page cache is dropped.
time_cold_ntfs() {
  local volume=build/bench/ntfs-$components.img mount_point=build/bench/ntfs-mount
  local ntfs_windows=$mount_point/Windows
  mkdir -p "$mount_point"
  mountpoint -q "$mount_point" && umount "$mount_point"
  if [[ ! -f $volume.complete ]]; then
    echo "Copying the store of $components components onto an NTFS volume in $volume ..."
    rm -f "$volume"
    truncate -s 4G "$volume"
    mkntfs -F -Q -q "$volume" >/dev/null 2>&1
    ntfs-3g "$volume" "$mount_point"
    cp -r "$store/image/Windows" "$mount_point/"
    cp "$store/clean/COMPONENTS" "$ntfs_windows/System32/config/"
    umount "$mount_point"
    touch "$volume.complete"
  fi
  cold_mount() {
    mountpoint -q "$mount_point" && umount "$mount_point"
    sync
    echo 3 >/proc/sys/vm/drop_caches
    ntfs-3g "$volume" "$mount_point"
  }
  local -A best=()
  local setting start end
  for _ in 1 2 3; do
    for setting in j1 default find; do
      cold_mount
      start=$(now)
      if [[ $setting == find ]]; then
        find "$ntfs_windows/WinSxS" -type f >/dev/null
      else
        # shellcheck disable=SC2086
        "$tessaly" ${job_options[$setting]} --dry-run "$ntfs_windows" >/dev/null
      fi
      end=$(now)
      best[$setting]=$(smaller "${best[$setting]:-}" "$(seconds_between "$start" "$end")")
    done
  done
  umount "$mount_point"
  echo "  clean, on ntfs-3g, cold cache (dry runs, best of 3)"
  report "tessaly -j 1" "${best[j1]}" "${best[find]}"
  report "tessaly" "${best[default]}" "${best[find]}"
  report "find -type f" "${best[find]}" "${best[find]}"
  awk -v single="${best[j1]}" -v default="${best[default]}" 'BEGIN {
    printf "    default jobs against -j 1: %.2f (target: at most 1.00) %s\n", default / single,
           default <= single ? "met" : "MISSED"
    exit default <= single ? 0 : 1
  }' || missed=1
}

sizes=("$@")
(( ${#sizes[@]} > 0 )) || sizes=(20000)
for size in "${sizes[@]}"; do files_for "$size" >/dev/null; done

for size in "${sizes[@]}"; do
  select_store "$size"
  generate_store
  make_dirty_set
  store_files=$(find "$winsxs" -type f -path '*benchmark*' | wc -l)
  store_components=$(find "$winsxs" -mindepth 1 -maxdepth 1 -type d -name '*benchmark*' | wc -l)
  echo "Store: $store_components components, $store_files files (best of $rounds, warm cache, $(nproc) CPUs)"
  time_state clean
  time_state dirty
done
if $cold_ntfs; then
  select_store "${sizes[0]}"
  store_files=$(find "$winsxs" -type f -path '*benchmark*' | wc -l)
  time_cold_ntfs
fi
exit $missed
