# Sourced by the shell suites and CI steps.
# poll SECONDS COMMAND...: runs the command until it succeeds, for at most SECONDS.
poll() {
    local seconds=$1; shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}
