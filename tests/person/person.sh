#!/usr/bin/env bash
# The programs driven as a person would: the real live server and the real
# client in a real X server (Xvfb, no window manager), typed into and clicked
# with xdotool, and judged by what is on the screen: window titles, the text of
# the boxes (read back with OCR), the colour of the sign-in icon, exit status.
#
#   person.sh <velka-live-server> <velka-live-assistant>
#
# A screenshot of each state goes to $VELKA_SCREENSHOTS (default: a new
# temporary directory, printed at the end). Exit 77 when Xvfb is missing.
set -uo pipefail

server_bin=${1:?velka-live-server}
client_bin=${2:?velka-live-assistant}

if ! command -v Xvfb >/dev/null; then
    echo "SKIP: Xvfb is not installed (apt-get install xvfb, or bash scripts/install-deps.sh --test)"
    exit 77
fi
for tool in xdotool xwininfo import convert compare tesseract md5sum; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing: bash scripts/install-deps.sh --test"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velka-person.XXXXXX")
shots=${VELKA_SCREENSHOTS:-$(mktemp -d "${TMPDIR:-/tmp}/velka-screenshots.XXXXXX")}
mkdir -p "$shots"
xvfb_pid="" server_pid="" client_pid=""

# Where a person clicks, in window coordinates of the 800x600 main window.
login_field=(150 100)
password_field=(150 128)
last_name_field=(296 137)
register_item_from_bottom=58 # the "Register" item of the tool box

password="s3cret pw"

cleanup() {
    stop_all $client_pid $server_pid $xvfb_pid
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "-- windows on screen:"; visible_windows
    for log in "$work"/*.err; do [[ -s "$log" ]] && { echo "-- $(basename "$log")"; tail -n 20 "$log"; }; done
    echo "-- screenshots in $shots"
    exit 1
}
step() { echo "== $*"; }

source "$(dirname "$0")/xsession.sh"

visible_windows() {
    local w
    for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
        echo "  $w \"$(xdotool getwindowname "$w" 2>/dev/null)\""
    done
}
# The visible window with exactly this title, if any.
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
has_window() { [[ -n "$(window_named "$1")" ]]; }
no_window() { [[ -z "$(window_named "$1")" ]]; }

shot() { import -window "$1" "$shots/$2.png"; }
# The text of a screenshot as a person reads it.
read_text() {
    convert "$1" -resize 300% -colorspace Gray -normalize "$work/ocr.png" && tesseract "$work/ocr.png" - 2>/dev/null
}
# box_reads <title> <screenshot name> <text>: the box is up and, once drawn,
# shows the text; all it says is left in $said. A box can be on the screen a
# moment before its words are painted, so callers poll this.
box_reads() {
    local box; box=$(window_named "$1")
    said=""
    [[ -n $box ]] && shot "$box" "$2" || return 1
    said=$(read_text "$shots/$2.png")
    grep -q -- "$3" <<<"$said"
}
# "green <n> red <m>": strongly green and strongly red pixels. The only such
# pixels of the main window are the icon of the "Login" item: a red cross
# until the user is signed in, a green check after.
icon_colours() {
    convert "$1" -depth 8 -format %c histogram:info:- | awk -F'[(),:]' '
        { n = $1 + 0; r = $3 + 0; g = $4 + 0; b = $5 + 0
          if (g > r + 60 && g > b + 60) green += n
          if (r > g + 80 && r > b + 80) red += n }
        END { print "green", green + 0, "red", red + 0 }'
}
shows() { # shows <window> <cross|check> <screenshot name>
    shot "$1" "$3" || return 1
    local colours; colours=$(icon_colours "$shots/$3.png")
    case $2 in
        cross) [[ $colours =~ ^green\ 0\ red\ [1-9][0-9] ]] ;;
        check) [[ $colours =~ ^green\ [1-9][0-9]+\ red\ 0$ ]] ;;
    esac
}

click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
type_text() { xdotool type --delay 15 -- "$1"; }
press() { xdotool key --delay 30 "$@"; }

# start_client <home>: the client as a person starts it, on the X display.
# Under AddressSanitizer, strict string checks are off for it: libxkbcommon-x11
# hands strndup() a name without a terminating NUL, within its length.
start_client() {
    env HOME="$1" DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" \
        "$client_bin" >>"$work/client.out" 2>>"$work/client.err" &
    client_pid=$!
}
main_window() {
    poll 30 window_or_end && ! client_gone && window_named "VELKA Live Assistant"
}
window_or_end() { has_window "VELKA Live Assistant" || client_gone; }
stop_client() {
    kill "$client_pid" 2>/dev/null
    wait "$client_pid" 2>/dev/null
    client_pid=""
}
client_gone() { ! kill -0 "$client_pid" 2>/dev/null; }
requests() { grep -c "GET /VELKA/be/$1 " "$work/server.err"; }
ini_value() { sed -n "s/^${2//\\/\\\\}=//p" "$1/.VELKA/velka.ini" 2>/dev/null; }
stored_login_is() { [[ $(ini_value "$1" 'id\login') == "$2" ]]; }
make_home() {
    mkdir -p "$work/$1/.VELKA"
    printf '[live]\nserver=%s\ndirectory=VELKA/be\n' "$base" >"$work/$1/.VELKA/velka.ini"
    echo "$work/$1"
}

step "X server"
start_xvfb

step "live server"
"$server_bin" --listen 127.0.0.1 --port 0 --database "$work/data/accounts.sqlite" --hash-cost minimum \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
poll 30 grep -q '^http://' "$work/server.out" || fail "the server did not start"
url=$(head -n 1 "$work/server.out")
base=${url%/VELKA/be/}
echo "   $url"

step "first start: the sign-in page, not signed in"
home=$(make_home newcomer)
start_client "$home"
win=$(main_window) || fail "the main window did not open"
poll 20 shows "$win" cross 01-window || fail "no red cross on the Login item: $(icon_colours "$shots/01-window.png")"
[[ $(xwininfo -id "$win" | awk '/Height:/ { print $2 }') == 600 ]] || fail "the window is not 600 pixels high"

step "registration form, filled in with the keyboard"
click "$win" 100 $((600 - register_item_from_bottom))
click "$win" "${last_name_field[@]}"
type_text "Doe"
for value in "Jo" "jo@example.test" "1 Main Street" "" "12345" "Springfield" "Utopia" "555 0100" "ACME" \
    "$password" "$password"; do
    press Tab
    [[ -n $value ]] && type_text "$value"
done
shot "$win" 02-register
[[ $(compare -metric AE "$shots/01-window.png" "$shots/02-register.png" null: 2>&1) != 0 ]] ||
    fail "the registration form did not open"
press Tab Tab space # past the news check box, onto Register

step "Registration successful"
poll 30 has_window "Registration successful" || fail "no \"Registration successful\" box"
poll 10 box_reads "Registration successful" 03-registration-successful "Congratulation!" ||
    fail "the box does not congratulate: $said"
login=$(sed -n 's/^Your login is: *\([0-9][0-9]*\)$/\1/p' <<<"$said")
[[ -n $login ]] || fail "the box does not show a login: $said"
grep -q "register.php 200 $login " "$work/server.err" || fail "the server did not answer login $login"
echo "   login $login"
press Return
poll 10 no_window "Registration successful" || fail "Return did not close the box"

step "signed in, the sign-in page locked"
poll 20 shows "$win" check 04-signed-in || fail "no green check: $(icon_colours "$shots/04-signed-in.png")"
read_text "$shots/04-signed-in.png" | grep -q "Your are successfully logged" || fail "the button does not say so"
poll 10 stored_login_is "$home" "$login" || fail "login $login not stored"
[[ $(ini_value "$home" 'id\password') == $(printf %s "$password" | md5sum | cut -c1-32) ]] ||
    fail "the stored password is not the digest of the password"
click "$win" "${login_field[@]}"
type_text "99"
shot "$win" 04-locked
[[ $(compare -metric AE "$shots/04-signed-in.png" "$shots/04-locked.png" null: 2>&1) == 0 ]] ||
    fail "the locked login field took the keyboard"
[[ $(requests register.php) == 1 && $(requests login.php) == 1 ]] || fail "expected one registration and one sign-in"
stop_client

step "next start: signed in again by itself"
start_client "$home"
win=$(main_window) || fail "the main window did not open"
poll 20 shows "$win" check 05-signed-in-again || fail "not signed in at the next start"
[[ $(requests login.php) == 2 ]] || fail "expected exactly one more sign-in"
no_window "Bad identification" && no_window "Connection error" || fail "a box opened"
stop_client

step "another user signs in by hand: wrong password, then the right one"
other=$(make_home other)
start_client "$other"
win=$(main_window) || fail "the main window did not open"
poll 20 shows "$win" cross 06-sign-in || fail "not on the sign-in page"
click "$win" "${login_field[@]}"
type_text "$login"
press Tab
type_text "not the password"
press Tab space
poll 30 has_window "Bad identification" || fail "no \"Bad identification\" box"
poll 10 box_reads "Bad identification" 06-bad-identification "Bad login or password." ||
    fail "the box says something else: $said"
press Return
poll 10 no_window "Bad identification" || fail "Return did not close the box"
shows "$win" cross 06-still-signed-out || fail "signed in with a wrong password"
[[ -z $(ini_value "$other" 'id\login') ]] || fail "a refused sign-in was stored"
click "$win" "${password_field[@]}"
press ctrl+a
type_text "$password"
press Tab space
poll 20 shows "$win" check 06-signed-in-by-hand || fail "the right password did not sign in"
poll 10 stored_login_is "$other" "$login" || fail "the sign-in by hand was not stored"
stop_client

step "server down: Connection error, and the program ends with status 0"
kill "$server_pid" && wait "$server_pid" 2>/dev/null
server_pid=""
start_client "$home"
poll 30 has_window "Connection error" || fail "no \"Connection error\" box"
poll 10 box_reads "Connection error" 07-connection-error "Unable to connect to the VELKA live server" ||
    fail "the box says something else: $said"
grep -q "Error code: 1$" <<<"$said" || fail "not a refused connection: $said"
press Return
poll 20 client_gone || fail "the program did not end after the box"
wait "$client_pid"
status=$?
client_pid=""
[[ $status == 0 ]] || fail "the program ended with status $status"
[[ $(ini_value "$home" 'id\login') == "$login" ]] || fail "the stored login was lost"

if grep -E "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$work"/*.err; then
    fail "a sanitizer spoke"
fi
echo "Screenshots: $shots"
