#!/usr/bin/env bash
# libFuzzer on the server's reading of raw request bytes and of the scripts'
# parameters, 40 s; prints the inputs run.
set -euo pipefail
tests/fuzz/run-fuzz.sh 40
