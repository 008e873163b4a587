#!/usr/bin/env bash
# Sets up everything and runs the whole suite under every preset CI guards: dev (debug, warnings
# as errors), asan (AddressSanitizer + UndefinedBehaviorSanitizer), tsan (ThreadSanitizer) and
# release, the optimised build that the README's run command starts: it must build without a
# warning, and the built program must see a note stacked against the virtual validator; and a
# short run of every fuzz target (clang's libFuzzer).
# Usage: scripts/test.sh [preset ...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev asan tsan release fuzz)

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"

# The run command's build: warnings do not stop a user's build (a newer compiler may add some),
# so here they fail the check instead; then one headless demo run must stack the demo's first note.
check_release() {
  local log
  log=$(mktemp)
  cmake --build --preset release 2>&1 | tee "$log"
  if grep -q 'warning:' "$log"; then
    echo "FAILED: the optimised build printed warnings (see above)" >&2
    return 1
  fi
  local out err
  out=$(mktemp)
  err=$(mktemp)
  if ! printf ':wait 6000\n' | timeout 30 build/release/src/app/tarvik-host --demo --console >"$out" 2>"$err"; then
    echo "FAILED: tarvik-host --demo --console did not exit 0" >&2
    cat "$err" >&2
    return 1
  fi
  if ! grep -q 'STACKED' "$out"; then
    echo "FAILED: the demo run stacked no note; its log:" >&2
    cat "$out" "$err" >&2
    return 1
  fi
  echo "release: demo run stacked a note ($(grep -c 'STACKED' "$out") STACKED line(s))"
  rm -f "$log" "$out" "$err"
}

for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  if [ "$preset" = fuzz ]; then
    # A short run of every fuzz target from its seeds (about 30 s in all); long runs: fuzz.sh.
    if command -v clang++ >/dev/null; then
      scripts/fuzz.sh 6
    else
      echo "clang++ not found: fuzz targets skipped"
    fi
    continue
  fi
  cmake --preset "$preset" >/dev/null
  if [ "$preset" = release ]; then
    check_release
    continue
  fi
  cmake --build --preset "$preset"
  if [ "$preset" = tsan ]; then
    # ThreadSanitizer's shadow memory does not fit every address-space layout that a randomised
    # kernel hands out; a fixed layout avoids "unexpected memory mapping" aborts.
    setarch "$(uname -m)" -R ctest --preset "$preset"
  else
    ctest --preset "$preset"
  fi
done
