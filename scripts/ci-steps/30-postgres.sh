#!/usr/bin/env bash
# The PostgreSQL account store on a real server: started on loopback for the
# suite, stopped after it. Three server processes share the database.
set -euo pipefail
VELKA_LOAD_SCALE=10 tests/postgres/with-postgres.sh "$BUILD_DIR/tests/postgres/tst_postgres"
