#!/usr/bin/env bash
# Installs the dependencies, builds the program and starts it.
# Extra arguments go to the program (for example --no-window or --data-dir DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
MERRAVINE_SKIP_NPM=1 bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec ./build/release/src/shell/merravine "$@"
