# The live server in the background, and the ports it listens on; sourced by scripts/lib.sh.

# listening PORT: something accepts connections on 127.0.0.1:PORT.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port nothing listens on, below the kernel's range for outgoing connections, so
# that no client socket takes it between this choice and the server's start.
free_port() {
    local port low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null && ((low > 20100)) || low=32768
    for port in $(shuf -i 20000-$((low - 1)) -n 50); do
        listening "$port" || { echo "$port"; return 0; }
    done
    return 1
}

# start_server LOG COMMAND...: the live server in the background, its access log
# appended to LOG; once it listens, its pid in $server_pid and the URL it printed
# in $server_url. Fails with the log's last line if it ends or stays silent.
start_server() {
    local log=$1 said
    shift
    said=$(mktemp)
    "$@" >"$said" 2>>"$log" &
    server_pid=$!
    poll 30 _server_up "$said"
    server_url=$(head -n 1 "$said")
    rm -f "$said"
    [[ $server_url == http* ]] && return 0
    kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    server_pid=""
    echo "the live server did not start: $(tail -n 1 "$log")" >&2
    return 1
}
_server_up() { [[ -s $1 ]] || ! kill -0 "$server_pid" 2>/dev/null; }

# stop_all PID...: ends each process that is still there and waits for it.
stop_all() {
    local pid
    for pid in "$@"; do
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true # its status is that of the kill
    done
}
