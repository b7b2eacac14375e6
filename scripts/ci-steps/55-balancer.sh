#!/usr/bin/env bash
# Three servers on one PostgreSQL behind HAProxy (docs/examples/haproxy-velka-live.cfg),
# under a steady mixed load for about a minute — sign-ins, wrong passwords,
# registrations — while in turn (a) each server is stopped with SIGTERM and
# started again, one after another, (b) PostgreSQL restarts (-m fast), (c) one
# server is killed with -9 and started again. Prints each phase's requests by
# outcome; (a) and (b) must fail none, (c) at most those the killed server held.
# Then every login answered to a registration must be in the database, once.
set -uo pipefail
: "${BUILD_DIR:?the tested build}"
source "$(dirname "$0")/../lib.sh"
[[ -n ${VELKA_TEST_PG:-} ]] || exec "$velka_root/scripts/with-postgres.sh" bash "$0"
command -v haproxy >/dev/null || fail "haproxy is missing: bash scripts/install-deps.sh --test"
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-balancer.XXXXXX")
pids=() ports=() workers=()
cleanup() {
    touch "$work/stop"
    stop_all "${workers[@]}" "${pids[@]}" "${haproxy_pid:-}"
    rm -rf "$work"
}
trap cleanup EXIT
began=$SECONDS
server_bin="$BUILD_DIR/server/velka-live-server"

# start N: server N (0-2) on its port, the balancer its trusted proxy; the count of
# failed sign-ins is not what is measured here, so wrong passwords are not slowed.
start() {
    local port=${ports[$1]:-0}
    start_server "$work/server$1.log" "$server_bin" --port "$port" --database "$VELKA_TEST_PG" --create-database \
        --hash-cost minimum --trusted-proxy 127.0.0.1 --free-failed-sign-ins 1000000 --registrations-per-hour 0 || fail "server $1 did not start"
    pids[$1]=$server_pid
    port=${server_url#http://127.0.0.1:}
    ports[$1]=${port%%/*}
}
for n in 0 1 2; do start "$n"; done
front=$(free_port) stats=$(free_port)
VELKA_FRONT=127.0.0.1:$front VELKA_STATS=127.0.0.1:$stats VELKA_SERVER_1=127.0.0.1:${ports[0]} \
    VELKA_SERVER_2=127.0.0.1:${ports[1]} VELKA_SERVER_3=127.0.0.1:${ports[2]} \
    haproxy -W -db -f "$velka_root/docs/examples/haproxy-velka-live.cfg" >"$work/haproxy.log" 2>&1 &
haproxy_pid=$!
# up N: the balancer counts server N in (its checks passed).
up() { curl -s "http://127.0.0.1:$stats/stats;csv" | grep -q "^servers,live$(($1 + 1)),.*,UP,"; }
for n in 0 1 2; do poll 30 up "$n" || fail "the balancer does not see server $n"; done
base="http://127.0.0.1:$front/VELKA/be"
details="civ=M&lna=Load&fna=Bal&ema=b%40example.org&ma1=&ma2=&zip=&tow=&cou=&pho=&ins="
digest=0cc175b9c0f1b6a831c399e269772661

# worker N: requests until told to stop, in turn a sign-in (kind 0, answered 1), a
# wrong password (1, answered 0) and a registration (2, answered a login); a line
# each: phase, status (000: no answer), kind, body.
worker() {
    local i=0 kind login newest url answer
    login=$(curl -s "$base/register.php?$details&pas=$digest&new=0")
    newest=$login
    until [[ -e $work/stop ]]; do
        kind=$((i++ % 3))
        case $kind in
        0) url="$base/login.php?l=$login&p=$digest" ;;
        # At the account registered last: a login that many guess at is slowed for all.
        1) url="$base/login.php?l=$newest&p=00000000000000000000000000000000" ;;
        2) url="$base/register.php?$details&pas=$digest&new=$((i % 2))" ;;
        esac
        answer=$(curl -s --max-time 60 -w ' %{http_code}' "$url")
        echo "$(<"$work/phase") ${answer##* } $kind ${answer% *}" >>"$work/load.$1"
        [[ $kind != 2 || ${answer##* } != 200 || ${answer% *} -le 0 ]] || newest=${answer% *}
    done
}
echo steady >"$work/phase"
for n in 1 2 3 4; do worker "$n" & workers+=($!); done
phase() { echo "$1" >"$work/phase"; echo "== $1"; }
sleep 10

phase rolling-restart
for n in 0 1 2; do
    kill -TERM "${pids[$n]}" && wait "${pids[$n]}" || fail "server $n did not end with status 0 on SIGTERM"
    start "$n"
    poll 30 up "$n" || fail "server $n is not counted in again"
done
phase database-restart
sleep 2
$VELKA_TEST_PG_CTL restart -m fast >/dev/null || fail "PostgreSQL did not restart"
sleep 8
phase kill-9
kill -KILL "${pids[1]}"
wait "${pids[1]}" 2>/dev/null
sleep 2
start 1
poll 30 up 1 || fail "server 1 is not counted in again"
phase steady-again
sleep 10
touch "$work/stop"
wait "${workers[@]}"
workers=()

cat "$work"/load.* >"$work/load"
printf "%-18s %8s %8s %8s %12s %8s\n" phase sent 200 503 "no answer" other
failed=0
for p in steady rolling-restart database-restart kill-9 steady-again; do
    # Answered 200 with the body its kind calls for; anything else is "other".
    read -r sent ok busy none other < <(awk -v p="$p" '$1 == p { n++
            right = $3 == 0 ? $4 == "1" : $3 == 1 ? $4 == "0" : $4 > 0
            if ($2 == 200 && right) o++; else if ($2 == 503) b++; else if ($2 == "000") x++; else y++ }
        END { print n + 0, o + 0, b + 0, x + 0, y + 0 }' "$work/load")
    printf "%-18s %8d %8d %8d %12d %8d\n" "$p" "$sent" "$ok" "$busy" "$none" "$other"
    ((sent > 0)) || fail "no request in phase $p"
    if [[ $p == kill-9 ]]; then
        (( sent - ok <= 4 )) || failed=1 # the workers' requests the killed server held, at most
    else
        (( sent == ok )) || failed=1
    fi
done
((failed == 0)) || fail "requests failed where none may"
# Every login answered to a registration is in the database, and none was answered twice.
awk '$3 == 2 && $2 == 200 && $4 > 0 { print $4 }' "$work/load" | sort >"$work/answered"
psql -X -A -t -q "$VELKA_TEST_PG" -c "SELECT login FROM accounts" | sort >"$work/stored"
[[ -z $(uniq -d "$work/answered") ]] || fail "a login was answered twice: $(uniq -d "$work/answered" | head -3)"
missing=$(comm -23 "$work/answered" "$work/stored" | wc -l)
((missing == 0)) || fail "$missing logins answered are not in the database"
echo "$(wc -l <"$work/answered") registrations answered, each login once, all of them stored"
echo "balancer step passed in $((SECONDS - began)) s"
