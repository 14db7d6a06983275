#!/bin/sh
# Builds the fuzz targets for the two readers of untrusted image bytes (the
# PE export name reader and the hive reader) through the preset
# "fuzz" (clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer),
# and runs each for a while.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]      (default 30)
#
# Build output and corpora go to build/fuzz. A crash, an input that takes
# more than 10 s, or one that asks for more than 512 MiB at once stops the
# script and leaves the input in that directory: a crafted hive must cost
# time linear in its size and memory under its size plus a bound.
set -eu

cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
"$build/write_seeds" "$build/seeds"

for target in pe_export_names hive_reader; do
  mkdir -p "$build/corpus/$target"
  echo "== $target: $seconds s"
  (cd "$build" && "./${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -malloc_limit_mb=512 -rss_limit_mb=2048 -max_len=131072 \
    "corpus/$target" "seeds/$target")
done
