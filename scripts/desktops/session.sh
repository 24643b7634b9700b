#!/usr/bin/env bash
# session.sh: a private desktop session (its own session bus, HOME and XDG_* folders, a copy of
# the bundle on its own port) in which desktop-check runs the tray application.
#
#   session.sh up sway|gnome|xfce|kde DIR PORT   start the session under DIR (DIR must not exist)
#   session.sh app DIR [ARGS...]                 start bin/TarvessaAudioServer in it (pid: DIR/app.pid)
#   session.sh run DIR COMMAND...                run COMMAND in the session (sni.py, ev, grim...)
#   session.sh panel DIR on|off                  bring the tray host up or take it away
#   session.sh shot DIR FILE.png                 screenshot of the whole screen
#   session.sh down DIR                          stop what this script started there, by pid
# The runtime is a switch: echo ok | "slow 6" | fail > DIR/node-mode (fail = exit 3).
# Everything runs as uid 65534: sway refuses to run as root. DIR/bin comes first on PATH and
# holds sni.py, a recording xdg-open (DIR/xdg-open.log) and, for GNOME, ev (Shell.Eval) and shot.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
source "$here/../lib/basics.sh"
source "$here/../lib/standins.sh"
BUNDLE=${BUNDLE:?set BUNDLE to a built bundle folder}
# COMMAND... run as the session's user with its environment: "${as_user[@]}" DIR/env.sh COMMAND...
as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c '. "$0"; exec "$@"')
appindicator=ubuntu-appindicators@ubuntu.com

in_session() { # SESSION COMMAND...: COMMAND in the session, in the foreground
    local session=$1
    shift
    "${as_user[@]}" "$session/env.sh" "$@"
}

background() { # SESSION LOG COMMAND...: COMMAND in the session, in a process session of its own
    local session=$1 log=$2
    shift 2
    setsid "${as_user[@]}" "$session/env.sh" "$@" >"$session/$log" 2>&1 </dev/null &
    echo $! >>"$session/pids"
}

started_last() { tail -1 "$1/pids"; } # SESSION: the process background started last

fail_up() { # WHAT: the session cannot come up
    echo "session.sh: $* did not happen" >&2
    exit 1
}

# The stand-in runtime of the session's bundle: Node.js, or a failure or a slow start on demand.
switched_runtime() { # SESSION
    cat <<EOF
mode=\$(cat "$1/node-mode" 2>/dev/null)
case "\$mode" in
    fail) echo "stand-in runtime: failing on purpose" >&2; exit 3 ;;
    slow*) sleep \${mode#slow } ;; # a server slow to start, on purpose
esac
exec /usr/bin/node "\$@"
EOF
}

write_environment() { # SESSION: env.sh, which everything run in the session sources
    echo "export SESSION_DIR=$1" >"$1/env.sh"
    cat >>"$1/env.sh" <<'EOF'
export HOME=$SESSION_DIR/home XDG_CONFIG_HOME=$SESSION_DIR/config XDG_DATA_HOME=$SESSION_DIR/data
export XDG_CACHE_HOME=$SESSION_DIR/cache XDG_STATE_HOME=$SESSION_DIR/state XDG_RUNTIME_DIR=$SESSION_DIR/runtime
export PATH=$SESSION_DIR/bin:/usr/local/bin:/usr/bin:/bin
[ ! -f "$SESSION_DIR/bus" ] || export DBUS_SESSION_BUS_ADDRESS=$(cat "$SESSION_DIR/bus")
EOF
}

prepare() { # SESSION PORT
    local session=$1
    mkdir -p "$session"/{home,config,data,cache,state,runtime,bin,shots}
    chmod 700 "$session/runtime"
    cp -a "$BUNDLE" "$session/bundle"
    write_info_json "$session/bundle" "$2"
    write_runtime "$session/bundle" "$(switched_runtime "$session")"
    echo ok >"$session/node-mode"
    recording_xdg_open "$session/bin" "$session/xdg-open.log"
    cp "$here/sni.py" "$session/bin/sni.py"
    chmod 755 "$session/bin/"*
    write_environment "$session"
}

session_bus() { # SESSION
    local session=$1
    # the bus lives as long as this sleep: down ends it last, and dbus-run-session then ends the daemon
    background "$session" dbus.log dbus-run-session -- bash -c \
        "echo \$\$ > $session/bus.pid; echo \$DBUS_SESSION_BUS_ADDRESS > $session/bus; exec sleep 100000"
    started_last "$session" >"$session/bus-runner.pid"
    within 5 test -s "$session/bus" || fail_up "the session bus starting"
}

up_sway() { # SESSION
    local session=$1
    mkdir -p "$session/config/sway" "$session/config/waybar"
    echo 'output HEADLESS-1 resolution 1024x640 bg #5f7f9f solid_color' >"$session/config/sway/config"
    cp "$here/waybar.json" "$session/config/waybar/config"
    cat >>"$session/env.sh" <<'EOF'
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway WAYLAND_DISPLAY=wayland-1
unset DISPLAY
export SWAYSOCK=$SESSION_DIR/runtime/sway-ipc.sock   # our own sway, never another session's
EOF
    chown -R 65534:65534 "$session"
    session_bus "$session"
    background "$session" sway.log sway -c "$session/config/sway/config"
    within 10 in_session "$session" swaymsg -t get_version >/dev/null 2>&1 || fail_up "sway answering"
    in_session "$session" swaymsg exec "env > $session/sway-child-env" >/dev/null
    within 10 grep -q ^DISPLAY= "$session/sway-child-env" || fail_up "sway's Xwayland display appearing"
    echo "export $(grep ^DISPLAY= "$session/sway-child-env")  # sway's Xwayland" >>"$session/env.sh"
    # A waybar started within sway's first second after it answers loses the first click on a tray item (no menu
    # opens; later clicks open it), and nothing sway reports tells that second apart: it is waited out.
    sleep 1
    panel "$session" on
}

gnome_helpers() { # SESSION: the unsafe-mode extension, ev (Shell.Eval) and shot (a screenshot)
    local session=$1 extension=$1/data/gnome-shell/extensions/helper@local
    mkdir -p "$extension"
    echo '{"uuid":"helper@local","name":"test helper","description":"unsafe mode for a test rig",' \
        '"shell-version":["43"]}' >"$extension/metadata.json"
    # GNOME Shell 41 and later answer org.gnome.Shell.Eval only in unsafe mode, which an extension may switch on
    printf '%s\n' 'function init() {}' 'function enable() { global.context.unsafe_mode = true; }' \
        'function disable() {}' >"$extension/extension.js"
    cat >"$session/bin/ev" <<'EOF'
#!/bin/sh
exec gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.gnome.Shell.Eval "$1"
EOF
    cat >"$session/bin/shot" <<'EOF'
#!/bin/sh
exec gdbus call --session --dest org.gnome.Shell.Screenshot --object-path /org/gnome/Shell/Screenshot \
    --method org.gnome.Shell.Screenshot.Screenshot false false "$1"
EOF
    chmod 755 "$session/bin/ev" "$session/bin/shot"
}

up_gnome() { # SESSION
    local session=$1 display
    gnome_helpers "$session"
    cat >>"$session/env.sh" <<'EOF'
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome WAYLAND_DISPLAY=wayland-0
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$SESSION_DIR/sysbus.sock   # a stand-in system bus: gnome-shell needs one
EOF
    chown -R 65534:65534 "$session"
    session_bus "$session"
    background "$session" sysbus.log dbus-daemon --session --nofork --address="unix:path=$session/sysbus.sock"
    within 5 test -S "$session/sysbus.sock" || fail_up "the stand-in system bus starting"
    in_session "$session" gsettings set org.gnome.shell enabled-extensions "['$appindicator', 'helper@local']"
    in_session "$session" gsettings set org.gnome.shell welcome-dialog-last-shown-version 999
    background "$session" shell.log gnome-shell --wayland --headless --virtual-monitor 1280x800
    within 20 grep -q 'Using public X11 display' "$session/shell.log" || fail_up "mutter's Xwayland starting"
    display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$session/shell.log" | head -1)
    within 20 shell_started "$session" || fail_up "GNOME Shell finishing its start"
    echo "export DISPLAY=$display" \
        "XAUTHORITY=\$(ls \$SESSION_DIR/runtime/.mutter-Xwaylandauth.* | head -1)  # mutter's Xwayland" \
        >>"$session/env.sh"
    in_session "$session" ev "Main.overview.hide()" >/dev/null # GNOME Shell 40 and later start in the overview
    within 10 overview_hidden "$session" || fail_up "GNOME Shell leaving the overview"
    # An application started within GNOME Shell's first seconds after this leaves the Activities button drawn
    # highlighted until the first click in the panel, which the icon's photograph then mistakes for the icon; no
    # state Shell.Eval shows was found to mark the end of those seconds: they are waited out.
    sleep 3
}

shell_started() { in_session "$1" ev "Main.layoutManager._startingUp" 2>/dev/null | grep -q false; }
overview_hidden() {
    in_session "$1" ev "Main.overview.visible || Main.overview.animationInProgress" 2>/dev/null | grep -q false
}

free_display() { # a display free here and in the network's abstract sockets, which a chroot's /tmp does not show
    local number=151
    while [ -e /tmp/.X11-unix/X$number ] || grep -q "/tmp/.X11-unix/X$number\$" /proc/net/unix; do
        number=$((number + 1))
    done
    echo "$number"
}

window_manager_runs() { in_session "$1" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

up_xfce() { # SESSION
    local session=$1 display
    display=$(free_display)
    mkdir -p "$session/config/xfce4/xfconf/xfce-perchannel-xml"
    cp "$here/xfce4-panel.xml" "$session/config/xfce4/xfconf/xfce-perchannel-xml/"
    cat >>"$session/env.sh" <<EOF
export XDG_SESSION_TYPE=x11 XDG_CURRENT_DESKTOP=XFCE DISPLAY=:$display
unset WAYLAND_DISPLAY
EOF
    chown -R 65534:65534 "$session"
    background "$session" xvfb.log Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp
    within 5 test -e "/tmp/.X11-unix/X$display" || fail_up "Xvfb starting"
    session_bus "$session"
    background "$session" xfwm4.log xfwm4
    within 10 window_manager_runs "$session" || fail_up "xfwm4 managing the display"
    panel "$session" on
}

xwayland_of() { pgrep -P "$1" -x Xwayland | head -1 | grep .; } # KWIN-PID: its Xwayland's pid

up_kde() { # SESSION
    local session=$1 kwin xwayland
    # Debian 12's kwin_wayland carries the file capability cap_sys_resource=ep; where the bounding set lacks
    # CAP_SYS_RESOURCE, as in a container, the kernel refuses to execute a file whose capabilities it cannot
    # grant in full (EPERM). A copy carries no file capability and runs.
    cp /usr/bin/kwin_wayland "$session/bin/kwin_wayland"
    cp "$here/kshot.py" "$session/bin/"
    chmod 755 "$session/bin/"*
    cat >>"$session/env.sh" <<'EOF'
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
export XDG_SESSION_DESKTOP=KDE WAYLAND_DISPLAY=wayland-kde
export KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 KWIN_WAYLAND_NO_PERMISSION_CHECKS=1
EOF
    chown -R 65534:65534 "$session"
    session_bus "$session"
    background "$session" kwin.log "$session/bin/kwin_wayland" --virtual --width 1280 --height 800 --xwayland \
        --socket wayland-kde
    kwin=$(started_last "$session")
    within 10 test -S "$session/runtime/wayland-kde" || fail_up "KWin starting"
    within 20 xwayland_of "$kwin" >/dev/null || fail_up "KWin's Xwayland starting"
    xwayland=$(xwayland_of "$kwin")
    echo "export DISPLAY=$(tr '\0' ' ' <"/proc/$xwayland/cmdline" | awk '{print $2}')  # KWin's Xwayland" \
        >>"$session/env.sh"
    panel "$session" on
}

up() { # KIND SESSION PORT
    local kind=$1 session=$2
    [ ! -e "$session" ] || { echo "$session exists" >&2 && exit 1; }
    # the parent must let uid 65534 through; never loosen a shared folder such as /tmp itself
    mkdir -p "$session"
    chmod 755 "$session"
    mkdir -p -m 1777 /tmp/.X11-unix
    case $kind in
    sway | gnome | xfce | kde) ;;
    *) echo "unknown kind $kind" >&2 && exit 1 ;;
    esac
    prepare "$session" "$3"
    echo "$kind" >"$session/kind"
    "up_$kind" "$session"
    echo "up: $kind in $session (. $session/env.sh as uid 65534; pids in $session/pids)"
}

host_registered() { in_session "$1" sni.py host 2>/dev/null; } # SESSION: a tray host is there

panel() { # SESSION on|off: the tray host comes or goes
    local session=$1 kind pid
    kind=$(cat "$session/kind")
    if [ "$kind" = gnome ]; then
        local verb=enable
        [ "$2" = on ] || verb=disable
        in_session "$session" ev "Main.extensionManager.${verb}Extension('$appindicator')" >/dev/null
        return
    fi
    if [ "$2" = off ]; then
        pid=$(cat "$session/panel.pid")
        kill -TERM "$pid"
        within 10 is_gone "$pid" || fail_up "the panel ending"
        return
    fi
    case $kind in
    sway) background "$session" waybar.log waybar ;;
    xfce) background "$session" panel.log xfce4-panel ;;
    kde) background "$session" plasma.log plasmashell ;;
    esac
    started_last "$session" >"$session/panel.pid"
    within 60 host_registered "$session" || fail_up "the panel's tray host registering"
}

shot() { # SESSION FILE
    case $(cat "$1/kind") in
    sway) in_session "$1" grim "$2" ;;
    gnome) in_session "$1" shot "$2" >/dev/null ;;
    xfce) in_session "$1" import -window root "$2" ;;
    kde) in_session "$1" kshot.py "$2" >/dev/null ;;
    esac
}

end_process() { # PID: SIGTERM, then up to 10 s for it to end
    kill -TERM "$1" 2>/dev/null || return 0
    within 10 is_gone "$1" || echo "session.sh: $1 did not end on SIGTERM" >&2
}

down() { # SESSION
    local session=$1 bus_runner="" pid
    [ ! -f "$session/app.pid" ] || end_process "$(cat "$session/app.pid")"
    [ ! -f "$session/bus-runner.pid" ] || bus_runner=$(cat "$session/bus-runner.pid")
    if [ -f "$session/pids" ]; then
        for pid in $(tac "$session/pids"); do
            [ "$pid" = "$bus_runner" ] || end_process "$pid"
        done
    fi
    [ ! -f "$session/bus.pid" ] || end_process "$(cat "$session/bus.pid")"
    # stragglers started inside this session (plasma_waitforname, a wl-copy...): they carry SESSION_DIR
    for pid in $(pgrep -u 65534 || true); do
        if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "SESSION_DIR=$session"; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done
    echo "down: $session"
}

start_app() { # SESSION ARGS...
    local session=$1
    shift
    setsid "${as_user[@]}" "$session/env.sh" "$session/bundle/bin/TarvessaAudioServer" "$@" \
        >"$session/app.out" 2>"$session/app.err" </dev/null &
    echo $! >"$session/app.pid"
}

command=${1:-}
[ $# -eq 0 ] || shift
case $command in
up) up "$@" ;;
app) start_app "$@" ;;
run) in_session "$@" ;;
panel) panel "$@" ;;
shot) shot "$@" ;;
down) down "$@" ;;
*) sed -n '2,13p' "$0" ;;
esac
