#!/usr/bin/env bash
# Builds Release with the benchmarks and measures, in one run, every ratio of
# docs/benchmarks.md; prints them as a Markdown table.
#   bench/run.sh [build-dir, default /tmp/velka-bench-build]
# Needs wrk, haproxy and a PostgreSQL server (Debian: wrk, haproxy, postgresql),
# installed here when missing.
# Everything runs on 127.0.0.1 with fixed connection counts and durations.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
build=${1:-/tmp/velka-bench-build}
seconds=${VELKA_BENCH_SECONDS:-5}
rounds=${VELKA_BENCH_ROUNDS:-5}
connections=${VELKA_BENCH_CONNECTIONS:-16}
cost=${VELKA_BENCH_HASH_COST:-interactive}

if ! command -v wrk >/dev/null || ! command -v haproxy >/dev/null || ! pg_find; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends wrk haproxy postgresql >/dev/null
    pg_find || fail "no PostgreSQL server"
fi
cmake -S "$velka_root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKA_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

work=$(pg_owned_dir velka-bench) # a PostgreSQL cluster lives there too
server_pid="" bare_pid="" others="" haproxy_pid=""
trap 'stop_all $server_pid $bare_pid $others $haproxy_pid
    "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1; rm -rf "$work"' EXIT

# wrk on one URL: prints "requests/s p50 p99 non2xx" (latencies in ms).
#   measure URL [connections]
measure() {
    local out
    out=$($on_wrk_core wrk -t1 -c"${2:-$connections}" -d"${seconds}s" --timeout 30s --latency "$1")
    grep "Socket errors" <<<"$out" >&2 || true
    awk '
        function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
        /Requests\/sec:/ { rps = $2 }
        /Non-2xx or 3xx responses:/ { bad = $4 }
        $1 == "50.000%" || $1 == "50%" { p50 = ms($2) }
        $1 == "99.000%" || $1 == "99%" { p99 = ms($2) }
        END { printf "%.1f %.2f %.2f %d\n", rps, p50, p99, bad }' <<<"$out"
}
median() { sort -n -k1,1 | awk '{ line[NR] = $0 } END { print line[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

echo "== client start-up (offscreen, medians)" >&2
startup=$("$build/bench/velka-bench-startup" 41)
echo "== password hash alone ($cost)" >&2
hashline=$("$build/bench/velka-bench-hash" "$cost" 5)
hash_rate=$(field "$hashline" checks_per_s)

echo "== live server and a bare QHttpServer route, wrk -t1 -c$connections -d${seconds}s, $rounds rounds" >&2
port=$(free_port)
# The limit on registrations per client stays on, set high enough that wrk,
# one client, stays under it: its cost is in the registrations' row.
start_server "$work/server.log" "$build/server/velka-live-server" --port "$port" \
    --database "$work/accounts.sqlite" --create-database --hash-cost "$cost" --max-pending 64 \
    --registrations-per-hour 3600000
bare_port=$(free_port)
"$build/bench/velka-bench-bare" "$bare_port" >/dev/null &
bare_pid=$!
poll 30 listening "$bare_port" || fail "the bare route did not start"
base="http://127.0.0.1:$port/VELKA/be"
digest=0cc175b9c0f1b6a831c399e269772661
details="civ=M&lna=Bench&fna=Mark&ema=b%40example.org&ma1=1&ma2=&zip=1&tow=T&cou=C&pho=0&ins=I"
login=$(curl -s "$base/register.php?$details&pas=$digest&new=0")
[[ $login =~ ^[0-9]+$ ]] || fail "registration answered '$login'"

# The quick routes interleaved, round after round, so a busy moment of the
# machine falls on all of them; the round of median rate counts for each.
# Each server's event loop on the last core and wrk on the others: left to the
# scheduler, the core a loop lands on (the one taking the network's interrupts,
# or not) moved its figure by a tenth. Hashing threads stay free.
cores=$(nproc)
on_wrk_core=""
if ((cores > 1)); then
    taskset -p -c $((cores - 1)) "$server_pid" >/dev/null
    taskset -p -c $((cores - 1)) "$bare_pid" >/dev/null
    on_wrk_core="taskset -c 0-$((cores - 2))"
fi
declare -A runs=([bare]="" [cheap]="" [badin]="" [badreg]="")
declare -A urls=([bare]="http://127.0.0.1:$bare_port/VELKA/be/none.php" [cheap]="$base/none.php"
                 [badin]="$base/login.php?l=x&p=0" [badreg]="$base/register.php?civ=M")
for ((round = 1; round <= rounds; ++round)); do
    line="round $round:"
    for route in bare cheap badin badreg; do
        result=$(measure "${urls[$route]}")
        runs[$route]+="$result"$'\n'
        line+=" $route ${result%% *}"
    done
    echo "$line req/s" >&2
done
for route in bare cheap badin badreg; do
    read -r "${route}_rps" "${route}_p50" "${route}_p99" _ < <(printf %s "${runs[$route]}" | median)
done
# Hashing routes, every core free again: two requests per hashing thread, so
# each waits about one hash.
on_wrk_core=""
taskset -a -p -c 0-$((cores - 1)) "$server_pid" >/dev/null
hashing=$((2 * cores))
read -r signin_rps signin_p50 signin_p99 signin_bad < <(measure "$base/login.php?l=$login&p=$digest" "$hashing")
read -r reg_rps reg_p50 reg_p99 reg_bad < <(measure "$base/register.php?$details&pas=$digest&new=0" "$hashing")

# Through HAProxy with the example configuration: the cheapest route with one
# server behind it, then sign-ins with three servers on the same database.
echo "== through HAProxy (docs/examples/haproxy-velka-live.cfg)" >&2
main_pid=$server_pid
for n in 2 3; do
    start_server "$work/server$n.log" "$build/server/velka-live-server" --port "$(free_port)" \
        --database "$work/accounts.sqlite" --hash-cost "$cost" --max-pending 64 --trusted-proxy 127.0.0.1
    others+=" $server_pid"
    declare "server_$n=${server_url#http://}"
done
server_pid=$main_pid
# balance SERVER2 SERVER3: HAProxy in front of this run's server and those two.
balance() {
    stop_all $haproxy_pid
    front=$(free_port)
    VELKA_FRONT=127.0.0.1:$front VELKA_STATS=127.0.0.1:$(free_port) VELKA_SERVER_1=127.0.0.1:$port \
        VELKA_SERVER_2=$1 VELKA_SERVER_3=$2 haproxy -db -f "$velka_root/docs/examples/haproxy-velka-live.cfg" \
        >"$work/haproxy.log" 2>&1 &
    haproxy_pid=$!
    poll 30 listening "$front" || fail "HAProxy did not start"
    sleep 3 # its checks count the servers in
}
balance 127.0.0.1:1 127.0.0.1:1 # the others down: one server behind it
read -r proxied_rps proxied_p50 proxied_p99 _ < <(measure "http://127.0.0.1:$front/VELKA/be/none.php")
balance "${server_2%%/*}" "${server_3%%/*}"
read -r three_rps three_p50 three_p99 three_bad < <(measure "http://127.0.0.1:$front/VELKA/be/login.php?l=$login&p=$digest" "$hashing")

# Sign-ins on PostgreSQL 1 ms away each way (bench/delay_proxy.cpp in between):
# each round trip of a sign-in's statements pays the distance, the hash is the
# same. At the minimum hash cost, against the same database near, the
# distance's share alone.
echo "== sign-ins on PostgreSQL 1 ms away" >&2
pg_init "$work/pg" "$(free_port)" 2>"$work/initdb.err" || fail "initdb failed"
"${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w start >/dev/null || fail "PostgreSQL did not start"
pg_port=$(sed -n 's/^port = //p' "$work/pg/postgresql.conf")
"${pg_as[@]}" "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U velka velka
far_port=$(free_port)
"$build/bench/velka-bench-delay" "$far_port" "$pg_port" 1 >/dev/null &
others+=" $!"
poll 30 listening "$far_port" || fail "the delaying proxy did not start"
# on_pg PORT COST: a server on the database reached at PORT; its scripts' URL in $pg_url.
on_pg() {
    start_server "$work/server-pg$1$2.log" "$build/server/velka-live-server" --port "$(free_port)" --create-database \
        --database "postgresql://velka@127.0.0.1:$1/velka" --hash-cost "$2" --max-pending 64
    others+=" $server_pid"
    pg_url=${server_url%/}
}
on_pg "$far_port" "$cost"
far=$pg_url
pg_login=$(curl -s "$far/register.php?$details&pas=$digest&new=0")
[[ $pg_login =~ ^[0-9]+$ ]] || fail "registration answered '$pg_login'"
read -r far_rps far_p50 far_p99 far_bad < <(measure "$far/login.php?l=$pg_login&p=$digest" "$hashing")
on_pg "$far_port" minimum
read -r farmin_rps farmin_p50 farmin_p99 farmin_bad < <(measure "$pg_url/login.php?l=$pg_login&p=$digest" "$hashing")
on_pg "$pg_port" minimum
read -r nearmin_rps nearmin_p50 nearmin_p99 _ < <(measure "$pg_url/login.php?l=$pg_login&p=$digest" "$hashing")
server_pid=$main_pid

cat <<TABLE
| Measure | Figure | Against | Ratio | Target |
|---|---|---|---|---|
| Client start-up to idle, wall (median of 41) | $(field "$startup" client_ms) ms | its form shown by Qt alone $(field "$startup" form_ms) ms | $(field "$startup" wall_ratio_form)× | ≤ 1.05× |
| Client start-up, peak RSS (median) | $(field "$startup" client_kib) KiB | its form shown by Qt alone $(field "$startup" form_kib) KiB | $(field "$startup" rss_ratio_form)× | ≤ 1.05× |
| Client start-up, wall and peak RSS | $(field "$startup" client_ms) ms, $(field "$startup" client_kib) KiB | bare 800×600 QMainWindow $(field "$startup" bare_ms) ms, $(field "$startup" bare_kib) KiB | $(field "$startup" wall_ratio_bare)×, $(field "$startup" rss_ratio_bare)× | |
| Bare QHttpServer route (404), $connections connections, median of $rounds rounds | $bare_rps req/s, p50 $bare_p50 ms, p99 $bare_p99 ms | | | |
| Server, cheapest route (404), access log on | $cheap_rps req/s, p50 $cheap_p50 ms, p99 $cheap_p99 ms | bare route | $(ratio "$cheap_rps" "$bare_rps")× | ≥ 0.9× |
| Server, malformed sign-in (no hash) | $badin_rps req/s, p50 $badin_p50 ms, p99 $badin_p99 ms | cheapest route | $(ratio "$badin_rps" "$cheap_rps")× | ≥ 0.9× |
| Server, incomplete registration (no hash) | $badreg_rps req/s, p50 $badreg_p50 ms, p99 $badreg_p99 ms | cheapest route | $(ratio "$badreg_rps" "$cheap_rps")× | ≥ 0.9× |
| Server, sign-ins ($cost hash, $hashing connections) | $signin_rps req/s, p50 $signin_p50 ms, p99 $signin_p99 ms, $signin_bad not 200 | hash alone on every core: $hash_rate checks/s | $(ratio "$signin_rps" "$hash_rate")× | hash-bound |
| Server, registrations ($cost hash + commit, $hashing connections) | $reg_rps req/s, p50 $reg_p50 ms, p99 $reg_p99 ms, $reg_bad not 200 | hash alone on every core | $(ratio "$reg_rps" "$hash_rate")× | hash-bound |
| Cheapest route through HAProxy, one server behind it | $proxied_rps req/s, p50 $proxied_p50 ms, p99 $proxied_p99 ms | the same route direct | $(ratio "$proxied_rps" "$cheap_rps")× | |
| Sign-ins on PostgreSQL 1 ms away each way ($cost hash, $hashing connections) | $far_rps req/s, p50 $far_p50 ms, p99 $far_p99 ms, $far_bad not 200 | hash alone on every core | $(ratio "$far_rps" "$hash_rate")× | ≥ 0.9× |
| Sign-ins on PostgreSQL 1 ms away, minimum hash: the distance's share | $farmin_rps req/s, p50 $farmin_p50 ms, p99 $farmin_p99 ms, $farmin_bad not 200 | the same database near: $nearmin_rps req/s, p50 $nearmin_p50 ms | $(ratio "$farmin_rps" "$nearmin_rps")× | |
| Sign-ins through HAProxy, three servers on one database ($hashing connections) | $three_rps req/s, p50 $three_p50 ms, p99 $three_p99 ms, $three_bad not 200 | one server, direct | $(ratio "$three_rps" "$signin_rps")× | CPU-bound: the same two cores |
TABLE
echo "hash cost $cost: $hashline" >&2
echo "$startup" >&2
