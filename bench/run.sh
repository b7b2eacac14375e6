#!/usr/bin/env bash
# Builds Release with the benchmarks and measures, in one run, every ratio of
# docs/benchmarks.md; prints them as a Markdown table.
#   bench/run.sh [build-dir, default /tmp/velka-bench-build]
# Needs wrk and nginx (Debian: wrk, nginx-light), installed here when missing.
# Everything runs on 127.0.0.1 with fixed connection counts and durations.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-/tmp/velka-bench-build}
seconds=${VELKA_BENCH_SECONDS:-8}
connections=${VELKA_BENCH_CONNECTIONS:-16}
cost=${VELKA_BENCH_HASH_COST:-interactive}

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || [[ -x /usr/sbin/nginx ]] || need+=(nginx-light)
if [[ ${#need[@]} -gt 0 ]]; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKA_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

work=$(mktemp -d /tmp/velka-bench.XXXXXX)
server_pid=""
nginx_conf=""
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null || true
    [[ -n "$nginx_conf" && -f "$work/nginx.pid" ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# wrk on one URL: prints "requests/s p50 p99 non2xx" (latencies in ms).
#   measure URL [connections]
measure() {
    local url=$1 out
    out=$(wrk -t1 -c"${2:-$connections}" -d"${seconds}s" --timeout 30s --latency "$url")
    if grep -q "Socket errors" <<<"$out"; then
        echo "bench: socket errors on $url" >&2
        grep "Socket errors" <<<"$out" >&2
    fi
    awk '
        function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
        /Requests\/sec:/ { rps = $2 }
        /Non-2xx or 3xx responses:/ { bad = $4 }
        $1 == "50.000%" || $1 == "50%" { p50 = ms($2) }
        $1 == "99.000%" || $1 == "99%" { p99 = ms($2) }
        END { printf "%.1f %.2f %.2f %d\n", rps, p50, p99, bad }' <<<"$out"
}

echo "== client start-up (offscreen, medians)" >&2
read -r startup < <("$build/bench/velka-bench-startup" 41)
echo "$startup" >&2

echo "== password hash alone ($cost)" >&2
read -r hashline < <("$build/bench/velka-bench-hash" "$cost" 5)
echo "$hashline" >&2

echo "== live server and nginx, wrk -t1 -c$connections -d${seconds}s" >&2
port=$(free_port)
"$build/server/velka-live-server" --port "$port" --database "$work/accounts.sqlite" --hash-cost "$cost" \
    --max-pending 64 >"$work/server.url" 2>/dev/null &
server_pid=$!
for _ in $(seq 100); do [[ -s "$work/server.url" ]] && break; sleep 0.1; done
base="http://127.0.0.1:$port/VELKA/be"
digest=0cc175b9c0f1b6a831c399e269772661
details="civ=M&lna=Bench&fna=Mark&ema=b%40example.org&ma1=1&ma2=&zip=1&tow=T&cou=C&pho=0&ins=I"
login=$(curl -s "$base/register.php?$details&pas=$digest&new=0")
[[ "$login" =~ ^[0-9]+$ ]] || { echo "bench: registration answered '$login'" >&2; exit 1; }

# The quick routes in three interleaved rounds; the round of median rate counts.
median_of() { sort -n -k1,1 | sed -n 2p; }
rounds_cheap="" rounds_badin="" rounds_badreg=""
for _ in 1 2 3; do
    rounds_cheap+="$(measure "$base/none.php")"$'\n'
    rounds_badin+="$(measure "$base/login.php?l=x&p=0")"$'\n'
    rounds_badreg+="$(measure "$base/register.php?civ=M")"$'\n'
done
read -r cheap_rps cheap_p50 cheap_p99 _ < <(printf %s "$rounds_cheap" | median_of)
read -r badin_rps badin_p50 badin_p99 _ < <(printf %s "$rounds_badin" | median_of)
read -r badreg_rps badreg_p50 badreg_p99 _ < <(printf %s "$rounds_badreg" | median_of)
# Hashing routes: two requests per hashing thread, so each waits about one hash.
hashing=$((2 * $(nproc)))
read -r signin_rps signin_p50 signin_p99 signin_bad < <(measure "$base/login.php?l=$login&p=$digest" "$hashing")
read -r reg_rps reg_p50 reg_p99 reg_bad < <(measure "$base/register.php?$details&pas=$digest&new=0" "$hashing")

nginx_port=$(free_port)
mkdir -p "$work/www"
printf 1 >"$work/www/one"
nginx_conf="$work/nginx.conf"
cat >"$nginx_conf" <<NGINX
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log $work/nginx-access.log;
    client_body_temp_path $work;
    proxy_temp_path $work;
    fastcgi_temp_path $work;
    uwsgi_temp_path $work;
    scgi_temp_path $work;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
    }
}
NGINX
nginx -c "$nginx_conf" -p "$work"
for _ in $(seq 100); do [[ -s "$work/nginx.pid" ]] && break; sleep 0.1; done
read -r nginx_rps nginx_p50 nginx_p99 _ < <(measure "http://127.0.0.1:$nginx_port/one")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
hash_rate=$(field "$hashline" checks_per_s)

cat <<TABLE
| Measure | Figure | Against | Ratio | Target |
|---|---|---|---|---|
| Client start-up to idle, wall (median of 41) | $(field "$startup" client_ms) ms | bare 800×600 QMainWindow $(field "$startup" bare_ms) ms | $(field "$startup" wall_ratio)× | ≤ 1.15× |
| Client start-up, peak RSS (median) | $(field "$startup" client_kib) KiB | bare window $(field "$startup" bare_kib) KiB | $(field "$startup" rss_ratio)× | ≤ 1.10× |
| Server, cheapest route (404), $connections connections, median of 3 rounds | $cheap_rps req/s, p50 $cheap_p50 ms, p99 $cheap_p99 ms | nginx, 1-byte static file: $nginx_rps req/s, p50 $nginx_p50 ms | $(ratio "$cheap_rps" "$nginx_rps")× nginx | |
| Server, malformed sign-in (no hash) | $badin_rps req/s, p50 $badin_p50 ms, p99 $badin_p99 ms | cheapest route | $(ratio "$badin_rps" "$cheap_rps")× | ≥ 0.8× |
| Server, incomplete registration (no hash) | $badreg_rps req/s, p50 $badreg_p50 ms, p99 $badreg_p99 ms | cheapest route | $(ratio "$badreg_rps" "$cheap_rps")× | ≥ 0.8× |
| Server, sign-ins ($cost hash, $hashing connections) | $signin_rps req/s, p50 $signin_p50 ms, p99 $signin_p99 ms, $signin_bad not 200 | hash alone on every core: $hash_rate checks/s | $(ratio "$signin_rps" "$hash_rate")× | hash-bound |
| Server, registrations ($cost hash + commit, $hashing connections) | $reg_rps req/s, p50 $reg_p50 ms, p99 $reg_p99 ms, $reg_bad not 200 | hash alone on every core | $(ratio "$reg_rps" "$hash_rate")× | hash-bound |
TABLE
echo "hash cost $cost: $hashline" >&2
