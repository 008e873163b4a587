#!/usr/bin/env bash
# Soak run (not part of the test command): the optimised host against the virtual validator for
# EXCHANGES status exchanges at 10 ms polling, a note offered every 50 polls. Passes when every
# note escrowed was stacked, vended and acknowledged, the host never crashed, and its resident
# memory grew by less than 1 MiB from the first tenth of the run to its end.
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

run_s=$(( exchanges * polling_ms / 1000 + 5 ))
( echo r; echo ":wait $(( run_s * 1000 ))" ) |
  build/release/src/app/tarvik-host --console --device "$device" --settings "$work/soak.ini" \
    >"$work/comm.log" 2>"$work/host.err" &
host=$!

rss() { awk '/VmRSS/ {print $2}' "/proc/$host/status" 2>/dev/null || echo 0; }
started=$(date +%s)
early_rss=""
polls_per_note=50
while kill -0 "$host" 2>/dev/null; do
  sleep "$(awk -v n=$polls_per_note -v ms=$polling_ms 'BEGIN {print n * ms / 1000}')"
  elapsed=$(( $(date +%s) - started ))
  # No note in the last seconds, so none is still in its cycle when the run ends.
  [ "$elapsed" -lt $(( run_s - 4 )) ] && echo "insert 61" >&3
  if [ -z "$early_rss" ] && [ "$elapsed" -ge $(( run_s / 10 )) ]; then early_rss=$(rss); fi
  now_rss=$(rss)
  [ "$now_rss" -gt 0 ] && late_rss=$now_rss
done
status=0
wait "$host" || status=$?
late_rss="${late_rss:-0}"

count() { grep -c -- "$1" "$work/comm.log" || true; }
requests=$(count '^STATUS REQUEST --->')
stacked_sent=$(count '^Stack 1 --->')
vends=$(count '<--- VEND VALID')
acks=$(count '^Ack --->')
stacked=$(grep -c -- '<--- STACKED' "$work/comm.log" || true)
errors=$(grep -cE 'Error|Illegal' "$work/comm.log" || true)
growth=$(( late_rss - early_rss ))

echo "soak: $requests status requests in $(( $(date +%s) - started )) s; host exit status $status"
echo "soak: notes: $stacked_sent stacked (Stack 1 sent), $vends VEND VALID, $acks acknowledged, $stacked STACKED lines"
echo "soak: receive errors and illegal responses: $errors"
echo "soak: resident memory $early_rss KiB after a tenth of the run, $late_rss KiB at its end (growth $growth KiB)"
fail=0
[ "$status" -eq 0 ] || { echo "FAILED: the host ended with $status" >&2; fail=1; }
[ "$requests" -ge "$exchanges" ] || { echo "FAILED: fewer status requests than $exchanges" >&2; fail=1; }
[ "$stacked_sent" -gt 0 ] && [ "$stacked_sent" -eq "$vends" ] && [ "$vends" -eq "$acks" ] ||
  { echo "FAILED: not every note was stacked, vended and acknowledged" >&2; fail=1; }
[ "$growth" -lt 1024 ] || { echo "FAILED: memory grew by $growth KiB" >&2; fail=1; }
[ "$errors" -eq 0 ] || { echo "FAILED: errors on the line" >&2; fail=1; }
exit "$fail"
