#!/usr/bin/env bash
# Sets up and builds Kettlebright, then runs the generator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -x build/default/bin/kettlebright ]; then
    exec build/default/bin/kettlebright "$@"
fi
echo "run: the build is set up and built; the application itself is not part of the build yet"
