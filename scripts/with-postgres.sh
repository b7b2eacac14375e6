#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL server on 127.0.0.1:
#   scripts/with-postgres.sh <command> [args...]   (e.g. the server: velka-live-server --database "$VELKA_TEST_PG")
# The command finds the database in VELKA_TEST_PG (a postgresql:// URI), and
# pg_ctl for it in VELKA_TEST_PG_CTL. The
# cluster lives in a temporary directory and is stopped and removed on exit.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -x $bindir/initdb ]] || fail "with-postgres: no PostgreSQL server installed (bash scripts/install-deps.sh --test)"
# PostgreSQL refuses to run as root: run it as the postgres user then.
as_owner=()
[[ $(id -u) -ne 0 ]] || as_owner=(runuser -u postgres --)
dir=$(mktemp -d /tmp/velka-pg.XXXXXX)
[[ $(id -u) -ne 0 ]] || chown postgres "$dir"
port=$(free_port)
trap '"${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1; rm -rf "$dir"' EXIT

"${as_owner[@]}" "$bindir/initdb" -D "$dir/data" -U velka --auth=trust -E UTF8 >"$dir/initdb.log" 2>&1 ||
    fail "$(cat "$dir/initdb.log")"
# In its configuration, so that a suite can stop and start it as it is. fsync
# stays on: the suites rely on commits being durable.
printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\nmax_connections = 200\n" \
    "$port" "$dir" >>"$dir/data/postgresql.conf"
pg_ctl=("${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60)
"${pg_ctl[@]}" start >/dev/null || fail "$(cat "$dir/server.log")"
"${as_owner[@]}" "$bindir/createdb" -h 127.0.0.1 -p "$port" -U velka velka_test

export VELKA_TEST_PG="postgresql://velka@127.0.0.1:$port/velka_test"
# The command that stops, starts or restarts it (its argument), for the suites' outages.
export VELKA_TEST_PG_CTL="${pg_ctl[*]}"
echo "with-postgres: PostgreSQL $("$bindir/postgres" --version | awk '{print $3}') on 127.0.0.1:$port"
"$@"
