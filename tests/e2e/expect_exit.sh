#!/bin/sh
# Runs a command that is meant to fail in a known way: passes when it exits with STATUS and its
# standard error has a line matching PATTERN (grep -E). Shows that standard error either way.
#   expect_exit.sh STATUS PATTERN COMMAND [ARGUMENTS...]
set -u
want=$1
pattern=$2
shift 2
err=$(mktemp)
trap 'rm -f "$err"' EXIT
"$@" >/dev/null 2>"$err"
status=$?
cat "$err"
if [ "$status" -ne "$want" ]; then
  echo "expect_exit.sh: exit status $status, not $want" >&2
  exit 1
fi
if ! grep -Eq "$pattern" "$err"; then
  echo "expect_exit.sh: no line on standard error matches: $pattern" >&2
  exit 1
fi
