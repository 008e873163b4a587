#!/usr/bin/env bash
# Every speed figure of the host in one run, on this machine: the in-process benchmarks (CRC,
# receiver, console and window log, memory over a million exchanges) and the end-to-end figures
# over a pseudo-terminal against the virtual validator, each beside the 1 ms sleep-loop baseline
# host measured in the same run and the target, and the normal download at 38,400 baud against
# the line's own time. Takes about ten minutes (five and a half of them the 1 MiB download);
# --quick takes about one.
# Usage: scripts/bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
# The window (the Qt benchmark, the end-to-end window figure) wants a runtime directory of its own.
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"

echo "=== in-process (Google Benchmark) ==="
build/release/bench/tarvik_bench --benchmark_counters_tabular=true
if [ -x build/release/bench/tarvik_qt_bench ]; then
  QT_QPA_PLATFORM=offscreen build/release/bench/tarvik_qt_bench --benchmark_counters_tabular=true
fi

echo "=== end to end (pseudo-terminal, virtual validator, sleep-loop baseline) ==="
build/release/bench/tarvik_e2e_driver "$@"
