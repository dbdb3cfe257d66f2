#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the
# AddressSanitizer+UBSan build and the ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

echo "=== formatting ==="
unformatted=$(git ls-files '*.cpp' '*.h' | while read -r f; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "$f"
done)
if [ -n "$unformatted" ]; then
    echo "not formatted with the checked-in .clang-format (run clang-format -i):"
    echo "$unformatted"
    exit 1
fi

for preset in default asan tsan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" -j "$jobs"
done
echo "all tests passed"
