#!/usr/bin/env bash
# Sets up everything, builds the optimised program and starts the simulator. Without --device
# (or a port given in the settings) it starts the built-in virtual validator on a pseudo-terminal.
# Usage: scripts/run.sh [tarvik-host options]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

exec build/release/src/app/tarvik-host "$@"
