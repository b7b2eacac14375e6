# Shell helpers shared by the scripts, the shell suites and the CI steps; sourced, never run.
# The one entry: it brings in every helper, by concern, from scripts/lib/.
velka_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# fail MESSAGE: says so, with the end of every log the caller left in $work, and exits.
fail() {
    local log
    echo "FAIL: $*"
    for log in "${work:-/nonexistent}"/*.{err,log}; do
        [[ -s $log ]] && { echo "-- $(basename "$log")"; tail -n 20 "$log"; }
    done
    exit 1
}
step() { echo "== $*"; }

# poll SECONDS COMMAND...: runs the command until it succeeds, for at most SECONDS.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

# release_build BUILD_DIR [TARGET...]: the programs as shipped, configured once;
# without targets only configured.
release_build() {
    local dir=$1
    shift
    [[ -f $dir/CMakeCache.txt ]] ||
        cmake -S "$velka_root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    (($# == 0)) || cmake --build "$dir" -j "$(nproc)" --target "$@"
}

source "$velka_root/scripts/lib/server.sh"
source "$velka_root/scripts/lib/ini.sh"
source "$velka_root/scripts/lib/display.sh"
source "$velka_root/scripts/lib/postgres.sh"
