#!/usr/bin/env bash
# Registrations racing on many connections, and kill -9 during a registration
# load, harder than in ctest; prints the counts.
set -euo pipefail
VELKA_LOAD_SCALE=20 QT_QPA_PLATFORM=offscreen HOME="$(mktemp -d)" "$BUILD_DIR/tests/server/tst_serverload"
