#!/bin/sh
# Builds the fuzz targets for the two readers of untrusted image bytes (the
# PE export name reader and the hive base block check) with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a while.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]      (default 30)
#
# Build output and corpora go to $TESSALY_FUZZ_BUILD (default build/fuzz).
# A crash stops the script and leaves the crashing input in that directory.
set -eu

fuzz_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$fuzz_dir")
build=${TESSALY_FUZZ_BUILD:-$source_dir/build/fuzz}
seconds=${1:-30}
cxx=${CXX_FUZZ:-clang++}
flags="-std=c++20 -g -O1 -Wall -Wextra -Werror -I$source_dir"
sanitize="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"

mkdir -p "$build"
$cxx $flags "$fuzz_dir/write_seeds.cpp" "$source_dir"/tools/image/*.cpp "$source_dir/common/utf_conversion.cpp" \
  -o "$build/write_seeds"
"$build/write_seeds" "$build/seeds"

for target in pe_export_names hive_reader; do
  $cxx $flags $sanitize "$fuzz_dir/${target}_fuzzer.cpp" "$source_dir/platform/offline/$target.cpp" \
    -o "$build/${target}_fuzzer"
  mkdir -p "$build/corpus/$target"
  echo "== $target: $seconds s"
  (cd "$build" && "./${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    "corpus/$target" "seeds/$target")
done
