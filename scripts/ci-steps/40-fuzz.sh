#!/usr/bin/env bash
# libFuzzer on the server's parameter and request-byte reading and on the
# client's reading of answer bodies, 20 s each; prints the inputs run.
set -euo pipefail
tests/fuzz/run-fuzz.sh 20
