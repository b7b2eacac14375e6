#!/usr/bin/env bash
# The PostgreSQL account store on a real server, started on loopback for the
# suites' PostgreSQL rows and stopped after them: the store itself, the
# account tools beside a server, the count of failed sign-ins, and three
# server processes sharing the database under load.
set -euo pipefail
export VELKA_LOAD_SCALE=10
scripts/with-postgres.sh bash -c '"$0"/tests/server/tst_liveserver storedAccounts databaseOutage &&
    "$0"/tests/server/tst_accounttools "commands:PostgreSQL" &&
    "$0"/tests/server/tst_signinthrottle &&
    "$0"/tests/server/tst_serverload "registrations:three servers, one PostgreSQL"' "$BUILD_DIR"
