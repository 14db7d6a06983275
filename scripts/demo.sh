#!/usr/bin/env bash
# Builds the Linux tool, writes a sample Windows image with a few damaged
# component store records into build/sample, repairs it, and runs once more
# to show the clean state.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target tessaly make_sample_image

rm -rf build/sample
build/native/make_sample_image build/sample

for run in first second; do
  echo "=== tessaly build/sample/Windows ($run run) ==="
  status=0
  build/native/tessaly build/sample/Windows || status=$?
  echo "=== exit status $status ==="
done
