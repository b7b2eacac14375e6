#!/usr/bin/env bash
# Runs a Qt Test suite built for Windows under Wine and prints its log. Under
# Wine a suite writes its log to the debugger channel rather than the console,
# so it goes to a file here; the suite's exit status is passed on.
#   wine-suite.sh SUITE.exe [Qt Test options]
set -uo pipefail
suite=$1
shift
log=$(mktemp "${TMPDIR:-/tmp}/velka-suite.XXXXXX")
trap 'rm -f "$log"' EXIT
wine "$suite" "$@" -o "Z:${log//\//\\},txt"
status=$?
cat "$log"
exit "$status"
