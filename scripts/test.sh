#!/usr/bin/env bash
# The test command: builds and runs the whole suite in the normal build and in
# the AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded
# tests under ThreadSanitizer. Any extra arguments go to ctest (for example
# -R engine).
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
echo "== tsan build (threaded tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$(nproc)" --target component_tests media_tests
echo "== tsan tests"
for t in component_tests media_tests; do
  TSAN_OPTIONS="halt_on_error=1" ./build/tsan/bin/$t --gtest_color=no
done
