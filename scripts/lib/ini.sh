# The client's settings file, read and written from the shell; sourced by scripts/lib.sh.

# ini_get FILE SECTION KEY: a value of a Qt INI file as written (outer quotes
# removed; a key below the section keeps Qt's '\' separators); status 1 when absent.
ini_get() {
    [[ -f $1 ]] || return 1
    awk -v want="[$2]" -v key="$3" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ { here = (tolower(trim($0)) == tolower(want)); next }
        here && index($0, "=") {
            i = index($0, "=")
            if (trim(substr($0, 1, i - 1)) != key) next
            v = trim(substr($0, i + 1))
            if (v ~ /^".*"$/) v = substr(v, 2, length(v) - 2)
            print v; found = 1; exit
        }
        END { exit !found }' "$1"
}

# ini_set FILE SECTION KEY VALUE: writes that one value, every other line kept as
# it is; the file keeps its owner and mode.
ini_set() {
    local tmp
    tmp=$(mktemp)
    awk -v want="[$2]" -v key="$3" -v value="$4" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ {
            print; here = !done && tolower(trim($0)) == tolower(want)
            if (here) { print key "=" value; done = 1 }
            next
        }
        here && index($0, "=") && trim(substr($0, 1, index($0, "=") - 1)) == key { next }
        { print }
        END { if (!done) printf "%s%s\n%s=%s\n", (NR ? "\n" : ""), want, key, value }' "$1" 2>/dev/null >"$tmp"
    cat "$tmp" >"$1"
    rm -f "$tmp"
}
