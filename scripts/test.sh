#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the
# AddressSanitizer+UBSan build and the ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
for preset in default asan tsan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -j "$jobs"
done
echo "all tests passed"
