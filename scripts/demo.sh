#!/usr/bin/env bash
# Builds the Linux tool, writes a sample Windows image with a few damaged
# component store records into build/sample, lists them with a dry run,
# repairs them, and runs once more to show the clean state.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target tessaly make_sample_image

rm -rf build/sample
build/native/make_sample_image build/sample

run() {
  echo "=== tessaly $* ==="
  status=0
  build/native/tessaly "$@" || status=$?
  echo "=== exit status $status ==="
}

run --dry-run build/sample/Windows
run build/sample/Windows
run build/sample/Windows
