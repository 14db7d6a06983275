#!/usr/bin/env bash
# Builds both Windows executables and the portable Linux tool, and writes the
# release packages to build/dist:
#   tessaly_<version>_amd64.deb              /usr/bin/tessaly, its manual page, the README
#   tessaly-<version>-linux-x86_64.tar.gz    the portable binary and the README
#   tessaly-<version>-windows.zip            x64/tessaly.exe, x86/tessaly.exe, README.txt
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
for workflow in win64 win32 package; do
  cmake --workflow --preset "$workflow"
done
