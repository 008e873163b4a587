#!/usr/bin/env bash
# Sets up everything and runs the whole suite under every preset CI guards: dev (debug, warnings
# as errors), asan (AddressSanitizer + UndefinedBehaviorSanitizer) and tsan (ThreadSanitizer).
# Usage: scripts/test.sh [preset ...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev asan tsan)

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"

for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = tsan ]; then
    # ThreadSanitizer's shadow memory does not fit every address-space layout that a randomised
    # kernel hands out; a fixed layout avoids "unexpected memory mapping" aborts.
    setarch "$(uname -m)" -R ctest --preset "$preset"
  else
    ctest --preset "$preset"
  fi
done
