# What the shell checks share (gui-check, package-check, demo-check, check-install-layout and the
# desktop check): sourced after `set -euo pipefail`, never run. Set `check` to the name messages
# carry before sourcing (default: the script's file name). Sourcing installs the EXIT trap.
#
#   fail MESSAGE...               print "<check>: FAIL: MESSAGE" on stderr and exit 1
#   need_tools TOOL...            exit 77 (CTest's "skipped") when a TOOL is not on PATH
#   wait_for SECONDS WHAT CMD...  run CMD every 0.1 s until it succeeds; fail "WHAT did not happen" after SECONDS
#                                 times TARVESSA_TEST_TIME_FACTOR (default 1; slow builds set it)
#   (and what basics.sh and standins.sh offer: as_root, within, is_gone, write_info_json,
#   write_runtime, recording_xdg_open)
#   new_work_dir NAME             make $work (/tmp/tarvessa-NAME.XXXXXX, links resolved), removed at exit
#   track PID                     a child of this very shell (`cmd & track $!`): at exit it and its descendants end
#   track_dir DIR                 at exit, also end every process (and descendants) whose arguments or
#                                 environment name DIR/
#   at_exit COMMAND               eval COMMAND at exit, newest first, before processes end; $exit_status is set
#   end_processes                 end now every tracked process (newest first, each with its descendants), then DIR's
#   free_port                     print a TCP port that is free on 127.0.0.1
#   start_xvfb                    start a private Xvfb display (1024x768, needs $work), tracked; export DISPLAY
#   answers PORT                  a compatible server answers GET /api/app-mode on 127.0.0.1:PORT
#   running_script PATH           print the id of a process that has PATH among its arguments
#   wait_server SCRIPT PORT       wait up to 30 s for PORT to answer; set server_pid to the process running SCRIPT
#   ends_cleanly APP_PID SERVER_LOG [APP_LOG]   wait for our child APP_PID to exit 0 (asked to quit), then
#                                 for server_pid to end with the quit's SIGTERM in SERVER_LOG

source "$(dirname "${BASH_SOURCE[0]}")/basics.sh"
source "$(dirname "${BASH_SOURCE[0]}")/standins.sh"
check=${check:-$(basename "$0")}
checks_tracked=() checks_dirs=() checks_at_exit=() exit_status=0

fail() {
    echo "$check: FAIL: $*" >&2
    exit 1
}

need_tools() {
    local tool
    for tool; do
        command -v "$tool" >/dev/null && continue
        echo "$check: $tool is missing; scripts/setup installs it" >&2
        exit 77
    done
}

wait_for() {
    local seconds=$1 what=$2
    shift 2
    within "$seconds" "$@" || fail "$what did not happen within $(stretched "$seconds") s"
}

new_work_dir() {
    work=$(mktemp -d "/tmp/tarvessa-$1.XXXXXX")
    work=$(cd "$work" && pwd -P)
    track_dir "$work"
}

track() { checks_tracked+=("$1"); }
track_dir() { checks_dirs+=("$1"); }
at_exit() { checks_at_exit+=("$1"); }

# checks_tree ours|any PID...: the live PIDs (with "ours", only this shell and its children: a
# reaped id may belong to another process by now) and every live descendant of theirs.
checks_tree() {
    local me=$$
    [ "$1" = ours ] || me=""
    shift
    cat /proc/[0-9]*/stat 2>/dev/null | awk -v roots="$*" -v me="$me" '
        { s = $0; sub(/.*\) /, "", s); split(s, f, " ")
          if (f[1] != "Z") { alive[$1] = 1; parent[$1] = f[2]; kids[f[2]] = kids[f[2]] " " $1 } }
        END { n = split(roots, q, " "); given = n
              for (i = 1; i <= n; i++) {
                  p = q[i]
                  if (!(p in alive) || (p in seen)) continue
                  if (me != "" && i <= given && p != me && parent[p] != me) continue
                  seen[p] = 1; print p
                  m = split(kids[p], k, " ")
                  for (j = 1; j <= m; j++) q[++n] = k[j]
              } }'
}

# checks_end PID...: SIGTERM, up to 5 s to end, then SIGKILL for those left; children are reaped.
checks_end() {
    [ $# -gt 0 ] || return 0
    local pid tries=0
    kill -TERM "$@" 2>/dev/null
    for pid; do
        while ! is_gone "$pid" && [ $tries -lt 50 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
    done
    for pid; do
        is_gone "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    return 0
}

end_processes() {
    local i pids dir pid strays=()
    for ((i = ${#checks_tracked[@]} - 1; i >= 0; i--)); do
        mapfile -t pids < <(checks_tree ours "${checks_tracked[i]}")
        checks_end "${pids[@]}"
    done
    checks_tracked=()
    # Servers an application started may have left its tree: they are found by the folder.
    for dir in "${checks_dirs[@]}"; do
        for pid in $(grep -alsF -- "$dir/" /proc/[0-9]*/cmdline /proc/[0-9]*/environ | cut -d/ -f3 | sort -u); do
            strays+=("$pid")
        done
    done
    pids=() # not this shell, nor the search's own helpers, gone by now
    for pid in "${strays[@]}"; do
        [ "$pid" = $$ ] || is_gone "$pid" || pids+=("$pid")
    done
    [ ${#pids[@]} -eq 0 ] || mapfile -t pids < <(checks_tree any "${pids[@]}")
    checks_end "${pids[@]}"
}

checks_on_exit() {
    exit_status=$?
    set +e
    local i
    for ((i = ${#checks_at_exit[@]} - 1; i >= 0; i--)); do
        eval "${checks_at_exit[i]}"
    done
    end_processes
    for i in "${checks_dirs[@]}"; do
        [[ $i == /tmp/tarvessa-* ]] && rm -rf "$i"
    done
    exit "$exit_status"
}
trap checks_on_exit EXIT
trap 'exit 130' INT TERM HUP

free_port() {
    node -e 'const s = require("net").createServer();
             s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });'
}

start_xvfb() {
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    track $!
    wait_for 10 "Xvfb starting" test -s "$work/display"
    DISPLAY=:$(head -n1 "$work/display")
    export DISPLAY
}

answers() {
    node -e 'const request = require("http").get(
        { host: "127.0.0.1", port: process.argv[1], path: "/api/app-mode", timeout: 1000 },
        (response) => {
            let body = "";
            response.on("data", (chunk) => (body += chunk));
            response.on("end", () =>
                process.exit(response.statusCode === 200 && JSON.parse(body).mode === "quarle" ? 0 : 1));
        });
    request.on("error", () => process.exit(1));
    request.on("timeout", () => process.exit(1));' "$1" 2>/dev/null
}

running_script() {
    local proc
    for proc in /proc/[0-9]*; do
        if tr '\0' '\n' 2>/dev/null <"$proc/cmdline" | grep -qxF -- "$1"; then
            echo "${proc#/proc/}"
            return 0
        fi
    done
    return 1
}

wait_server() {
    wait_for 30 "a server answering on port $2" answers "$2"
    server_pid=$(running_script "$1") || fail "the server answering on port $2 does not run $1"
}

ends_cleanly() {
    local status=0
    wait "$1" || status=$?
    [ $status -eq 0 ] || fail "the application exited with status $status when asked to quit:" \
        "$(tail -n 20 "${3:-/dev/null}" 2>/dev/null)"
    wait_for 15 "the server ending after the application quit" is_gone "$server_pid"
    grep -qF "SIGTERM received, closing the listener" "$2" || fail "the server log $2 shows no SIGTERM"
}
