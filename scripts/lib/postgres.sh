# Throw-away PostgreSQL clusters on 127.0.0.1 for the suites and CI steps; sourced by scripts/lib.sh.

# pg_find: the newest installed PostgreSQL's programs in $pg_bin, and in $pg_as the
# words that run them as the clusters' owner: PostgreSQL refuses to run as root,
# so the postgres user then.
pg_find() {
    pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    pg_as=()
    [[ $(id -u) -ne 0 ]] || pg_as=(runuser -u postgres --)
    [[ -x $pg_bin/initdb ]]
}

# pg_owned_dir [NAME]: a new temporary directory that the clusters' owner may write to.
pg_owned_dir() {
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/${1:-velka-pg}.XXXXXX") || return 1
    [[ $(id -u) -ne 0 ]] || chown postgres "$dir"
    echo "$dir"
}

# pg_init DATA PORT [INITDB-OPTION...]: a new cluster in DATA for the user velka,
# trusted, listening on 127.0.0.1:PORT with its socket beside DATA. initdb's
# words go to standard error when it fails. In its configuration, so that a
# suite can stop and start it as it is; fsync stays on: the suites rely on
# commits being durable.
pg_init() {
    local data=$1 port=$2 said
    shift 2
    said=$("${pg_as[@]}" "$pg_bin/initdb" -D "$data" -U velka --auth=trust -E UTF8 "$@" 2>&1) || {
        echo "$said" >&2
        return 1
    }
    printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\nmax_connections = 200\n" \
        "$port" "$(dirname "$data")" >>"$data/postgresql.conf"
}
