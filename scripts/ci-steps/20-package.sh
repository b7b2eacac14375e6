#!/usr/bin/env bash
# Package check: the two .deb files of the tested build, Debian's own checks on
# them, then both installed with apt, the service's start command run by hand
# as its user (no systemd runs here), the installed client signing in to it,
# and both purged again.
set -uo pipefail
: "${BUILD_DIR:?the build folder to package}"
source "$(dirname "$0")/../lib.sh"
began=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-package.XXXXXX")
# apt reads local packages as its own unprivileged user.
chmod 755 "$work"
packages=(velka-live-assistant velka-live-server)
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }
purge() {
    dpkg-query -W "${packages[@]}" >/dev/null 2>&1 || return 0
    apt_get purge "${packages[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; return 1; }
}
pids=()
ours=""
cleanup() {
    stop_all "${pids[@]}"
    [[ -z $ours ]] || purge
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$BUILD_DIR" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
chmod 755 "$work/out"
client=("$work"/out/velka-live-assistant_*.deb)
server=("$work"/out/velka-live-server_*.deb)
[[ -f ${client[0]} && -f ${server[0]} ]] || fail "expected two packages, got: $(ls "$work/out")"
for deb in "${client[0]}" "${server[0]}"; do
    echo "--- dpkg-deb -I $(basename "$deb")"
    dpkg-deb -I "$deb"
done

# Each package depends on what it runs and on nothing the other one needs.
# depends PACKAGE FIELD [+NAME|-PREFIX]...: +NAME must be listed, -PREFIX must not start any entry.
depends() {
    local field list want
    field=$(dpkg-deb -f "$1" "$2")
    list=" ${field//,/ } "
    shift 2
    for want in "$@"; do
        case $want in
        +*) [[ $list == *" ${want#+} "* ]] || fail "${want#+} missing from: $field" ;;
        -*) [[ $list != *" ${want#-}"* ]] || fail "${want#-} in: $field" ;;
        esac
    done
}
depends "${client[0]}" Depends +qt6-qpa-plugins +libqt6widgets6 +libqt6network6 -libqt6sql -libsodium -libqt6httpserver
depends "${server[0]}" Depends +libqt6sql6-sqlite +libsodium23 +libsystemd0 +libpq5 -libqt6httpserver -libqt6widgets -libqt6gui -qt6-qpa-plugins
depends "${server[0]}" Suggests +libqt6sql6-psql

echo "--- lintian"
lintian --fail-on error,warning --pedantic --display-info "${client[0]}" "${server[0]}" >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.log"
((lintian_status == 0)) || fail "lintian found errors or warnings"
echo "lintian: no tag left besides the overridden ones"

dpkg-deb -x "${client[0]}" "$work/client-root"
desktop-file-validate "$work/client-root/usr/share/applications/velka-live-assistant.desktop" ||
    fail "desktop-file-validate"

# An install this step did not make is never purged, nor the accounts of one.
! dpkg-query -W -f='${Status}' velka-live-server 2>/dev/null | grep -q "ok installed" &&
    [[ ! -e /var/lib/velka-live-server/accounts.sqlite ]] ||
    fail "velka-live-server is installed, or its accounts are kept, on this machine; run this step elsewhere"
ours=1
purge || fail "could not purge an earlier install"
apt_get install --no-install-recommends "${client[0]}" "${server[0]}" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "apt install"; }

unit=/lib/systemd/system/velka-live-server.service
echo "--- systemd-analyze verify"
systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
[[ ! -s $work/verify.log ]] || { cat "$work/verify.log"; fail "systemd-analyze verify warns"; }
systemd-analyze security --offline=true "$unit" 2>&1 | grep 'Overall exposure'
[[ -L /etc/systemd/system/multi-user.target.wants/velka-live-server.service ]] || fail "the service is not enabled"

# The unit's start command run by hand, as systemd would run it: as its user, with
# its umask and state directory, its Environment= lines and then the
# EnvironmentFile= over them (read by root, as systemd reads it). The shell expands
# ExecStart=: the unit keeps to the forms both expand alike, "${NAME}" inside a
# word and a lone $NAME split at spaces.
setting() { sed -n "s/^$1=//p" "$unit"; }
defaults=$(setting EnvironmentFile)
defaults=${defaults#-}
[[ -f $defaults ]] || fail "no $defaults"
# What an operator would do for a port of its own; 0 lets the server pick.
echo "VELKA_PORT=0" >>"$defaults"
user=$(setting User)
group=$(setting Group)
state=/var/lib/$(setting StateDirectory)
getent passwd "$user" >/dev/null || fail "no user $user"
install -d -o "$user" -g "$group" -m "$(setting StateDirectoryMode)" "$state"
mapfile -t environment < <(setting Environment)
environment+=(HOME="$(getent passwd "$user" | cut -d: -f6)" USER="$user" LOGNAME="$user" PATH=/usr/sbin:/usr/bin:/sbin:/bin)
echo "--- as $user: $(setting ExecStart)"
as_service() {
    cd / && umask "$(setting UMask)" &&
        exec setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs env -i "${environment[@]}" \
            bash -c 'set -a && eval "$(cat)" && exec </dev/null && exec '"$(setting ExecStart)" <"$defaults"
}
start_server "$work/server.err" as_service || { cat "$work/server.err"; fail "the installed server did not start"; }
pids+=("$server_pid")
url=$server_url
echo "listening: $url"
[[ $url == http://127.0.0.1:*/VELKA/be/ ]] || fail "unexpected URL $url"
[[ $url != *":$(setting Environment | sed -n 's/^VELKA_PORT=//p')/"* ]] || fail "the port of $defaults was not used"

digest=$(printf %s 'package check' | md5sum | cut -d' ' -f1)
login=$(curl -sS --max-time 30 "${url}register.php?civ=Mr.&lna=Check&fna=Package&ema=check@example.org&ma1=&ma2=&zip=&tow=&cou=&pho=&ins=&pas=$digest&new=0") ||
    fail "register.php did not answer"
echo "register.php answered: $login"
[[ $login =~ ^[1-9][0-9]*$ ]] || fail "register.php answered \"$login\", not a login"
for pair in "$digest:1" "00000000000000000000000000000000:0"; do
    answer=$(curl -sS --max-time 30 "${url}login.php?l=$login&p=${pair%:*}") || fail "login.php did not answer"
    echo "login.php with ${pair%:*}: $answer"
    [[ $answer == "${pair#*:}" ]] || fail "login.php answered \"$answer\", not ${pair#*:}"
done
database=$state/accounts.sqlite
[[ $(stat -c '%U %a' "$database") == "$user 600" ]] || fail "$database: $(stat -c '%U %a' "$database")"

# The installed client, given that account, signs in to the installed server.
mkdir -p "$work/home/.VELKA"
printf '[live]\nserver=%s\nid\\login=%s\nid\\password=%s\n' "${url%/VELKA/be/}" "$login" "$digest" \
    >"$work/home/.VELKA/velka.ini"
HOME="$work/home" QT_QPA_PLATFORM=offscreen /usr/bin/velka-live-assistant >"$work/client.log" 2>&1 &
pids+=($!)
signed_in() { (($(grep -c 'GET /VELKA/be/login.php 200 1 ' "$work/server.err") == 2)); }
poll 30 signed_in || { cat "$work/client.log" "$work/server.err"; fail "the installed client did not sign in"; }
echo "the installed client signed in"
echo "--- access log"
cat "$work/server.err"

stop_all "${pids[@]}"
pids=()
purge || fail "purge"
for left in "$state" "$defaults" /etc/systemd/system/multi-user.target.wants/velka-live-server.service; do
    [[ ! -e $left ]] || fail "$left is left after purge"
done
echo "package check passed in $((SECONDS - began)) s"
