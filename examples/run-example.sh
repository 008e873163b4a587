#!/bin/sh
# Runs a console script against the virtual validator: the validator on a fresh pseudo-terminal
# playing VALIDATOR_SCRIPT, tarvik-host on its line reading HOST_SCRIPT, the communication log on
# standard output. Exits with the host's status (0 every expectation held, 1 one failed, 2 the
# port did not open).
#
#   examples/run-example.sh [--bin BUILD_DIR] HOST_SCRIPT VALIDATOR_SCRIPT [tarvik-host options]
#
# BUILD_DIR defaults to the first of build/release (what ./scripts/run.sh builds) and build/dev
# (./scripts/test.sh) that holds both programs. The host polls every 100 ms with a settings file
# of its own.
set -eu

bin=build/dev
for candidate in build/release build/dev; do
  if [ -x "$candidate/src/app/tarvik-host" ] && [ -x "$candidate/tools/validator/tarvik-validator" ]; then
    bin=$candidate
    break
  fi
done
if [ "${1:-}" = "--bin" ]; then
  bin=$2
  shift 2
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--bin BUILD_DIR] HOST_SCRIPT VALIDATOR_SCRIPT [tarvik-host options]" >&2
  exit 64
fi
host_script=$1
validator_script=$2
shift 2
for program in "$bin/tools/validator/tarvik-validator" "$bin/src/app/tarvik-host"; do
  if [ ! -x "$program" ]; then
    echo "$0: $program not found; build first (./scripts/run.sh, or cmake --build --preset dev)" >&2
    exit 64
  fi
done

work=$(mktemp -d)
validator=
cleanup() {
  if [ -n "$validator" ]; then
    kill "$validator" 2>/dev/null || true
    wait "$validator" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
printf '[BEXALTOOL]\nPOLLING DURATION=100\n' >"$work/BEXALTOOL.INI"

# The validator prints its pseudo-terminal first; its trace goes to a file, shown on failure.
"$bin/tools/validator/tarvik-validator" --pty --script "$validator_script" \
  >"$work/validator.out" 2>"$work/validator.trace" </dev/null &
validator=$!
device=
tries=0
while [ -z "$device" ]; do
  device=$(head -n 1 "$work/validator.out" 2>/dev/null || true)
  if [ -z "$device" ]; then
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$validator" 2>/dev/null; then
      echo "$0: the virtual validator did not start:" >&2
      cat "$work/validator.trace" >&2
      exit 2
    fi
    sleep 0.05
  fi
done

status=0
"$bin/src/app/tarvik-host" --console --device "$device" --settings "$work/BEXALTOOL.INI" "$@" \
  <"$host_script" || status=$?
if [ "$status" -ne 0 ]; then
  echo "---- virtual validator trace ----" >&2
  cat "$work/validator.trace" >&2
fi
exit "$status"
