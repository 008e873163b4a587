#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) and runs each from its seed
# corpus for a fixed time. The test command runs them briefly; for long runs give the seconds
# per target and, for a record, a file the figures are appended to:
#   scripts/fuzz.sh 3600 docs/fuzz-runs.txt
# Each run works in a scratch copy of the corpus, so the checked-in seeds stay small; a crash
# leaves its input in build/fuzz/crashes/ and fails the script.
# With FUZZ_RUNS=N in the environment each target runs N inputs instead, however long that takes;
# FUZZ_TARGETS picks the targets.
# Usage: scripts/fuzz.sh [seconds-per-target] [figures-file]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-6}"
record="${2:-}"
targets=(receiver_fuzz settings_fuzz file_crc_fuzz console_input_fuzz acceptance_fuzz
         target_header_fuzz)
# FUZZ_TARGETS="a_fuzz b_fuzz" runs only those (several lanes can then run side by side).
[ -n "${FUZZ_TARGETS:-}" ] && read -r -a targets <<<"$FUZZ_TARGETS"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

mkdir -p build/fuzz/crashes
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  log=$(mktemp)
  limit=(-max_total_time="$seconds")
  # Inputs of a few hundred bytes hold every frame length and several frames; longer ones only
  # slow a long run down.
  [ -n "${FUZZ_RUNS:-}" ] && limit=(-runs="$FUZZ_RUNS" -max_len=320)
  echo "=== $target: ${FUZZ_RUNS:-$seconds s} ==="
  started=$(date +%s)
  # -rss_limit_mb bounds memory growth; -timeout turns a hang into a failure.
  if ! "build/fuzz/tests/fuzz/$target" "${limit[@]}" -timeout=10 -rss_limit_mb=1024 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/crashes/"$name"- "$work" >"$log" 2>&1; then
    tail -40 "$log"
    echo "FAILED: $target found a crash, a hang or a leak (input in build/fuzz/crashes/)" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
  took=$(( $(date +%s) - started ))
  line="$target: $runs executions in $took s, coverage $cov edges, no crash"
  echo "$line"
  [ -n "$record" ] && echo "$(date -u +%Y-%m-%d) $line" >>"$record"
  rm -rf "$work" "$log"
done
