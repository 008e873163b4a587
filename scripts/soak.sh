#!/usr/bin/env bash
# Soak run (not part of the test command): the optimised host against the virtual validator for
# EXCHANGES exchanges (status requests and the commands of the note cycles) at 10 ms polling, a
# note offered every 50 polls. Passes when every note the validator took was stacked, vended and
# acknowledged (the validator's own count, and none left waiting), the host never crashed, no
# error showed on the line, and the host's resident memory grew by less than 1 MiB from the first
# tenth of the run to its end. The logs of a failed run are kept in build/soak/.
# Usage: scripts/soak.sh [EXCHANGES]   (default 100000, about 20 minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

exchanges="${1:-100000}"
polling_ms=10
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
printf '[BEXALTOOL]\nPOLLING DURATION=%d\n' "$polling_ms" >"$work/soak.ini"
mkfifo "$work/validator.in"

build/release/tools/validator/tarvik-validator --pty <"$work/validator.in" >"$work/validator.out" 2>"$work/validator.err" &
exec 3>"$work/validator.in"
for _ in $(seq 100); do
  device=$(grep -o '/dev/[^ ]*' "$work/validator.out" | head -1 || true)
  [ -n "$device" ] && break
  sleep 0.05
done
[ -n "$device" ] || { echo "FAILED: the validator did not start" >&2; exit 1; }

# A poll follows the previous transmission by the polling period plus the answer's time.
run_s=$(( exchanges * polling_ms * 108 / 100000 + 5 ))
( echo r; echo ":wait $(( run_s * 1000 ))" ) |
  build/release/src/app/tarvik-host --console --device "$device" --settings "$work/soak.ini" \
    >"$work/comm.log" 2>"$work/host.err" &
host=$!

rss() { awk '/VmRSS/ {print $2}' "/proc/$host/status" 2>/dev/null || echo 0; }
started=$(date +%s)
early_rss=""
polls_per_note=50
offered=0
while kill -0 "$host" 2>/dev/null; do
  sleep "$(awk -v n=$polls_per_note -v ms=$polling_ms 'BEGIN {print n * ms / 1000}')"
  elapsed=$(( $(date +%s) - started ))
  # No note in the last seconds, so none is still in its cycle when the run ends.
  if [ "$elapsed" -lt $(( run_s - 4 )) ]; then
    echo "insert 61" >&3
    offered=$(( offered + 1 ))
  fi
  if [ -z "$early_rss" ] && [ "$elapsed" -ge $(( run_s / 10 )) ]; then early_rss=$(rss); fi
  now_rss=$(rss)
  [ "$now_rss" -gt 0 ] && late_rss=$now_rss
done
status=0
wait "$host" || status=$?
late_rss="${late_rss:-0}"
echo show >&3
sleep 0.5
refused=$(grep -c '^! ' "$work/validator.err" || true)
taken=$(( offered - refused ))
validator_stacked=$(grep -o 'notes stacked [0-9]*' "$work/validator.out" | tail -1 | grep -o '[0-9]*$' || echo 0)
validator_state=$(grep -o 'state [a-z]*' "$work/validator.out" | tail -1 || true)

count() { grep -c -- "$1" "$work/comm.log" || true; }
requests=$(count '^STATUS REQUEST --->')
sent=$(count ' --->$')
stacked_sent=$(count '^Stack 1 --->')
vends=$(count '<--- VEND VALID')
acks=$(count '^Ack --->')
stacked=$(count '<--- STACKED')
errors=$(grep -cE 'Error|Illegal' "$work/comm.log" || true)
growth=$(( late_rss - early_rss ))

echo "soak: $sent exchanges ($requests status requests) in $(( $(date +%s) - started )) s; host exit status $status"
echo "soak: notes: $offered offered, $taken taken by the validator, $validator_stacked stacked by its count ($validator_state at the end)"
echo "soak: host side: $stacked_sent Stack 1 sent, $vends VEND VALID, $acks Ack sent, $stacked STACKED lines"
echo "soak: receive errors and illegal responses: $errors"
echo "soak: resident memory $early_rss KiB after a tenth of the run, $late_rss KiB at its end (growth $growth KiB)"
fail=0
[ "$status" -eq 0 ] || { echo "FAILED: the host ended with $status" >&2; fail=1; }
[ "$sent" -ge "$exchanges" ] || { echo "FAILED: fewer exchanges than $exchanges" >&2; fail=1; }
# A VEND VALID whose Ack was refused by a busy line is reported again and acknowledged then.
[ "$taken" -gt 0 ] && [ "$validator_stacked" -eq "$taken" ] && [ "$acks" -ge "$taken" ] &&
  [ "$validator_state" = "state idle" ] ||
  { echo "FAILED: not every note taken was stacked, vended and acknowledged" >&2; fail=1; }
[ "$growth" -lt 1024 ] || { echo "FAILED: memory grew by $growth KiB" >&2; fail=1; }
[ "$errors" -eq 0 ] || { echo "FAILED: errors on the line" >&2; fail=1; }
if [ "$fail" -ne 0 ]; then
  mkdir -p build/soak
  cp "$work"/* build/soak/ 2>/dev/null || true
fi
exit "$fail"
