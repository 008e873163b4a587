#!/usr/bin/env bash
# Sets up everything, builds the optimised program and starts the simulator. Started without
# options on a machine with no USB serial adapter, it runs against the built-in virtual validator
# on a pseudo-terminal (--demo); with options, they go to tarvik-host unchanged.
# Usage: scripts/run.sh [tarvik-host options]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

if [ $# -eq 0 ] && ! compgen -G '/dev/serial/by-id/*' >/dev/null &&
   ! compgen -G '/dev/ttyUSB*' >/dev/null && ! compgen -G '/dev/ttyACM*' >/dev/null; then
  echo "No USB serial adapter found: starting against the built-in virtual validator (--demo)." >&2
  set -- --demo
fi

exec build/release/src/app/tarvik-host "$@"
