#!/usr/bin/env bash
# Builds everything (Linux, Linux with sanitizers, both Windows executables)
# and runs every test: the engine suite, the offline integration tests and
# the Wine end-to-end suite, then the engine and offline suites again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

for preset in win64 win32 native native-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done

ctest --preset native
ctest --preset native-asan
