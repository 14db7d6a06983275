#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. First the
# packages (scripts/package.sh, which runs scripts/setup.sh and builds both
# Windows executables); then the Linux build and its suites: the engine's
# unit tests, the offline integration tests, the package checks and the Wine
# end-to-end suite; then the engine and offline suites again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the read-ahead's
# tests under ThreadSanitizer.
# One kind alone: ctest --preset native -L unit (or integration, packaging, wine).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/package.sh
for workflow in native native-asan native-tsan; do
  cmake --workflow --preset "$workflow"
done
