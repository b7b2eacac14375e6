#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL server on 127.0.0.1:
#   tests/postgres/with-postgres.sh <command> [args...]
# The command finds the database in VELKA_TEST_PG (a postgresql:// URI). The
# cluster lives in a temporary directory and is stopped and removed on exit.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [[ -z "$bindir" || ! -x "$bindir/initdb" ]]; then
    echo "with-postgres: no PostgreSQL server installed (Debian: postgresql)" >&2
    exit 1
fi

# PostgreSQL refuses to run as root: run it as the postgres user then.
as_owner=()
owner=$(id -un)
if [[ $(id -u) -eq 0 ]]; then
    owner=postgres
    as_owner=(runuser -u postgres --)
fi

dir=$(mktemp -d /tmp/velka-pg.XXXXXX)
chown "$owner" "$dir"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

stop() {
    "${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap stop EXIT

"${as_owner[@]}" "$bindir/initdb" -D "$dir/data" -U velka --auth=trust -E UTF8 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
# fsync stays on: the suites rely on commits being durable.
"${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c max_connections=200" start >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
"${as_owner[@]}" "$bindir/createdb" -h 127.0.0.1 -p "$port" -U velka velka_test

export VELKA_TEST_PG="postgresql://velka@127.0.0.1:$port/velka_test"
echo "with-postgres: PostgreSQL $("$bindir/postgres" --version | awk '{print $3}') on 127.0.0.1:$port"
"$@"
