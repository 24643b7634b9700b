# shellcheck shell=bash
# Small helpers every script may share, with no side effect on sourcing (unlike checks.sh, which
# installs an EXIT trap): sourced, never run.
#
#   as_root COMMAND...          run COMMAND as root: directly when we are root, else through sudo
#   within SECONDS COMMAND...   run COMMAND every 0.1 s until it succeeds; status 1 if SECONDS pass
#                               first. SECONDS stretch by TARVESSA_TEST_TIME_FACTOR (default 1; slow
#                               builds set it)
#   is_gone PID                 the process has ended (a zombie left for its parent counts as ended)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# stretched SECONDS: SECONDS times TARVESSA_TEST_TIME_FACTOR, rounded up to whole seconds
stretched() {
    awk -v s="$1" -v f="${TARVESSA_TEST_TIME_FACTOR:-1}" \
        'BEGIN { f += 0; if (f < 1) f = 1; t = s * f; printf "%d", t == int(t) ? t : int(t) + 1 }'
}

within() {
    local deadline
    deadline=$((SECONDS + $(stretched "$1")))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

is_gone() {
    [ ! -e "/proc/$1" ] || [ "$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null)" = Z ]
}
