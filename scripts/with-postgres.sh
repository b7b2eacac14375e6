#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL server on 127.0.0.1:
#   scripts/with-postgres.sh <command> [args...]   (e.g. the server: velka-live-server --database "$VELKA_TEST_PG")
# The command finds the database in VELKA_TEST_PG (a postgresql:// URI), and
# pg_ctl for it in VELKA_TEST_PG_CTL. The
# cluster lives in a temporary directory and is stopped and removed on exit.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

pg_find || fail "with-postgres: no PostgreSQL server installed (bash scripts/install-deps.sh --test)"
dir=$(pg_owned_dir)
port=$(free_port)
trap '"${pg_as[@]}" "$pg_bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1; rm -rf "$dir"' EXIT

pg_init "$dir/data" "$port" 2>"$dir/initdb.log" || fail "$(cat "$dir/initdb.log")"
pg_ctl=("${pg_as[@]}" "$pg_bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60)
"${pg_ctl[@]}" start >/dev/null || fail "$(cat "$dir/server.log")"
"${pg_as[@]}" "$pg_bin/createdb" -h 127.0.0.1 -p "$port" -U velka velka_test

export VELKA_TEST_PG="postgresql://velka@127.0.0.1:$port/velka_test"
# The command that stops, starts or restarts it (its argument), for the suites' outages.
export VELKA_TEST_PG_CTL="${pg_ctl[*]}"
echo "with-postgres: PostgreSQL $("$pg_bin/postgres" --version | awk '{print $3}') on 127.0.0.1:$port"
"$@"
