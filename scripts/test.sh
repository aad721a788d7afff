#!/usr/bin/env bash
# The test command: builds and runs the whole suite in the normal build and in
# the AddressSanitizer + UndefinedBehaviorSanitizer build. Any extra arguments
# go to ctest (for example -R Probe).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in default asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
  echo "== $preset tests"
  ctest --preset "$preset" -j"$(nproc)" "$@"
done
