#!/bin/bash
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
set -e
HERE=$(dirname "$(readlink -f "$0")")
BUNDLE=${BUNDLE:?set BUNDLE to a built bundle folder}
as() { local d=$1; shift; setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c ". $d/env.sh; exec \"\$@\"" bash "$@"; }
bg() { local d=$1 log=$2; shift 2; setsid bash -c 'exec "$@"' bash setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c ". $d/env.sh; exec \"\$@\"" bash "$@" > "$d/$log" 2>&1 < /dev/null & echo $! >> "$d/pids"; }

prepare() { # DIR PORT KIND
  local S=$1
  mkdir -p "$S"/{home,config,data,cache,state,runtime,bin,shots}; chmod 700 "$S/runtime"
  cp -a "$BUNDLE" "$S/bundle"
  printf '{"CFBundleName":"Tarvessa Audio Server","CFBundleIdentifier":"io.tarvessa.tarvessa-audio-server","TarvessaServerPort":%d}\n' "$2" > "$S/bundle/Info.json"
  rm -f "$S/bundle/Resources/runtime/bin/node"
  cat > "$S/bundle/Resources/runtime/bin/node" <<EON
#!/bin/sh
mode=\$(cat "$S/node-mode" 2>/dev/null)
case "\$mode" in
  fail) echo "stand-in runtime: failing on purpose" >&2; exit 3 ;;
  slow*) sleep \${mode#slow } ;;
esac
exec /usr/bin/node "\$@"
EON
  chmod +x "$S/bundle/Resources/runtime/bin/node"; echo ok > "$S/node-mode"
  printf '#!/bin/sh\necho "$(date +%%T) xdg-open $*" >> "%s/xdg-open.log"\n' "$S" > "$S/bin/xdg-open"
  cp "$HERE/sni.py" "$S/bin/sni.py"; chmod 755 "$S/bin/"*
  {
    echo "export S=$S"
    echo 'export HOME=$S/home XDG_CONFIG_HOME=$S/config XDG_DATA_HOME=$S/data XDG_CACHE_HOME=$S/cache XDG_STATE_HOME=$S/state XDG_RUNTIME_DIR=$S/runtime'
    echo 'export PATH=$S/bin:/usr/local/bin:/usr/bin:/bin'
    echo '[ -f $S/bus ] && export DBUS_SESSION_BUS_ADDRESS=$(cat $S/bus)'
  } > "$S/env.sh"
}

session_bus() { # DIR
  local S=$1
  # the bus lives as long as this sleep: down ends it last, and dbus-run-session then ends the daemon
  bg "$S" dbus.log dbus-run-session -- bash -c "echo \$\$ > $S/bus.pid; echo \$DBUS_SESSION_BUS_ADDRESS > $S/bus; exec sleep 100000"
  tail -1 "$S/pids" > "$S/bus-runner.pid"
  for i in $(seq 50); do [ -s "$S/bus" ] && return; sleep 0.1; done; echo "no session bus" >&2; exit 1
}

up() { # KIND DIR PORT
  local K=$1 S=$2
  [ -e "$S" ] && { echo "$S exists" >&2; exit 1; }
  # the parent must let uid 65534 through; never loosen a shared folder such as /tmp itself
  mkdir -p "$S"; chmod 755 "$S"; mkdir -p -m 1777 /tmp/.X11-unix; prepare "$S" "$3"; echo "$K" > "$S/kind"
  case $K in
  sway)
    mkdir -p "$S/config/sway" "$S/config/waybar"
    echo 'output HEADLESS-1 resolution 1024x640 bg #5f7f9f solid_color' > "$S/config/sway/config"
    echo '{"layer":"top","position":"top","height":30,"modules-left":["sway/window"],"modules-right":["tray","clock"],"tray":{"icon-size":22,"spacing":8},"clock":{"format":"{:%H:%M}"}}' > "$S/config/waybar/config"
    cat >> "$S/env.sh" <<'EOV'
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway WAYLAND_DISPLAY=wayland-1
unset DISPLAY
export SWAYSOCK=$S/runtime/sway-ipc.sock   # our own sway, never another session's
EOV
    chown -R 65534:65534 "$S"; session_bus "$S"
    bg "$S" sway.log sway -c "$S/config/sway/config"
    for i in $(seq 50); do [ -S "$S/runtime/wayland-1" ] && break; sleep 0.1; done; sleep 1
    as "$S" swaymsg exec "env > $S/sway-child-env" > /dev/null; sleep 0.5
    echo "export $(grep ^DISPLAY= "$S/sway-child-env")  # sway's Xwayland" >> "$S/env.sh"
    panel "$S" on ;;
  gnome)
    local E=$S/data/gnome-shell/extensions/helper@local; mkdir -p "$E"
    echo '{"uuid":"helper@local","name":"test helper","description":"unsafe mode for a test rig","shell-version":["43"]}' > "$E/metadata.json"
    printf 'function init() {}\nfunction enable() { global.context.unsafe_mode = true; }\nfunction disable() {}\n' > "$E/extension.js"
    printf '#!/bin/sh\ngdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell --method org.gnome.Shell.Eval "$1"\n' > "$S/bin/ev"
    printf '#!/bin/sh\ngdbus call --session --dest org.gnome.Shell.Screenshot --object-path /org/gnome/Shell/Screenshot --method org.gnome.Shell.Screenshot.Screenshot false false "$1"\n' > "$S/bin/shot"
    chmod 755 "$S/bin/ev" "$S/bin/shot"
    cat >> "$S/env.sh" <<'EOV'
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome WAYLAND_DISPLAY=wayland-0
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$S/sysbus.sock   # a stand-in system bus: gnome-shell needs one
EOV
    chown -R 65534:65534 "$S"; session_bus "$S"
    bg "$S" sysbus.log dbus-daemon --session --nofork --address=unix:path=$S/sysbus.sock; sleep 0.5
    as "$S" gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com', 'helper@local']"
    as "$S" gsettings set org.gnome.shell welcome-dialog-last-shown-version 999
    bg "$S" shell.log gnome-shell --wayland --headless --virtual-monitor 1280x800
    for i in $(seq 100); do grep -q 'Using public X11 display' "$S/shell.log" 2>/dev/null && break; sleep 0.2; done
    local xd; xd=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$S/shell.log" | head -1)
    for i in $(seq 100); do as "$S" ev "Main.layoutManager._startingUp" 2>/dev/null | grep -q false && break; sleep 0.2; done
    echo "export DISPLAY=$xd XAUTHORITY=\$(ls \$S/runtime/.mutter-Xwaylandauth.* | head -1)  # mutter's Xwayland" >> "$S/env.sh"
    as "$S" ev "Main.overview.hide()" > /dev/null ;;
  xfce)
    # a display free here and in the network's abstract sockets, which a chroot's /tmp does not show
    local n=151; while [ -e /tmp/.X11-unix/X$n ] || grep -q "/tmp/.X11-unix/X$n\$" /proc/net/unix; do n=$((n+1)); done
    mkdir -p "$S/config/xfce4/xfconf/xfce-perchannel-xml"
    cat > "$S/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'EOX'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/><property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/><property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/><value type="int" value="3"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator"><property name="expand" type="bool" value="true"/><property name="style" type="uint" value="0"/></property>
    <property name="plugin-2" type="string" value="systray"/>
    <property name="plugin-3" type="string" value="clock"/>
  </property>
</channel>
EOX
    cat >> "$S/env.sh" <<EOV
export XDG_SESSION_TYPE=x11 XDG_CURRENT_DESKTOP=XFCE DISPLAY=:$n
unset WAYLAND_DISPLAY
EOV
    chown -R 65534:65534 "$S"
    bg "$S" xvfb.log Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp
    for i in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    session_bus "$S"; bg "$S" xfwm4.log xfwm4; sleep 1
    panel "$S" on ;;
  kde)
    cp /usr/bin/kwin_wayland "$S/bin/kwin_wayland"   # the copy drops the file capability that a container refuses
    cp "$HERE/kshot.py" "$S/bin/"; chmod 755 "$S/bin/"*
    cat >> "$S/env.sh" <<'EOV'
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5 XDG_SESSION_DESKTOP=KDE
export WAYLAND_DISPLAY=wayland-kde KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 KWIN_WAYLAND_NO_PERMISSION_CHECKS=1
EOV
    chown -R 65534:65534 "$S"; session_bus "$S"
    bg "$S" kwin.log "$S/bin/kwin_wayland" --virtual --width 1280 --height 800 --xwayland --socket wayland-kde
    for i in $(seq 100); do [ -S "$S/runtime/wayland-kde" ] && break; sleep 0.1; done; sleep 3
    local kw xw xd; kw=$(tail -1 "$S/pids")
    for i in $(seq 100); do xw=$(pgrep -P "$kw" -x Xwayland | head -1); [ -n "$xw" ] && break; sleep 0.1; done
    xd=$(tr '\0' ' ' < "/proc/$xw/cmdline" | awk '{print $2}')
    echo "export DISPLAY=$xd  # KWin's Xwayland" >> "$S/env.sh"
    panel "$S" on; { for i in $(seq 100); do as "$S" sni.py items 2>&1 | grep -q 'no watcher' || break; sleep 0.3; done; sleep 5; } ;;
  *) echo "unknown kind $K" >&2; exit 1 ;;
  esac
  sleep 3; echo "up: $K in $S (. $S/env.sh as uid 65534; pids in $S/pids)"
}

panel() { # DIR on|off: the tray host comes or goes
  local S=$1 K; K=$(cat "$1/kind")
  if [ "$K" = gnome ]; then
    local verb=enable; [ "$2" = off ] && verb=disable
    as "$S" ev "Main.extensionManager.${verb}Extension('ubuntu-appindicators@ubuntu.com')" > /dev/null; return
  fi
  if [ "$2" = off ]; then kill -TERM "$(cat "$S/panel.pid")"; sleep 1; return; fi
  case $K in sway) bg "$S" waybar.log waybar ;; xfce) bg "$S" panel.log xfce4-panel ;; kde) bg "$S" plasma.log plasmashell ;; esac
  tail -1 "$S/pids" > "$S/panel.pid"
}

shot() { # DIR FILE
  case $(cat "$1/kind") in
  sway) as "$1" grim "$2" ;;
  gnome) as "$1" shot "$2" > /dev/null ;;
  xfce) as "$1" import -window root "$2" ;;
  kde) as "$1" kshot.py "$2" > /dev/null ;;
  esac
}

down() { # DIR
  local S=$1
  [ -f "$S/app.pid" ] && kill -TERM "$(cat "$S/app.pid")" 2>/dev/null && sleep 2 || true
  tac "$S/pids" 2>/dev/null | while read -r p; do
    [ "$(cat "$S/bus-runner.pid" 2>/dev/null)" = "$p" ] || kill -TERM "$p" 2>/dev/null || true; sleep 0.3; done
  [ -f "$S/bus.pid" ] && kill -TERM "$(cat "$S/bus.pid")" 2>/dev/null || true
  sleep 1
  # stragglers started inside this session (plasma_waitforname, a wl-copy...): they carry S=DIR
  for p in $(pgrep -u 65534); do
    { tr '\0' '\n' < "/proc/$p/environ"; } 2>/dev/null | grep -qx "S=$S" && kill -TERM "$p" 2>/dev/null || true
  done
  echo "down: $S"
}

cmd=$1; shift
case $cmd in
  up) up "$@" ;;
  app) S=$1; shift; setsid bash -c 'exec "$@"' bash setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c ". $S/env.sh; exec \"\$@\"" bash "$S/bundle/bin/TarvessaAudioServer" "$@" > "$S/app.out" 2> "$S/app.err" < /dev/null & echo $! > "$S/app.pid" ;;
  run) S=$1; shift; as "$S" "$@" ;;
  panel) panel "$@" ;;
  shot) shot "$@" ;;
  down) down "$@" ;;
  *) sed -n '2,13p' "$0" ;;
esac
