# A headless Wayland desktop for tests and benchmarks, sourced by their scripts:
# sway (headless backend, pixman renderer) as a dedicated system user, a private session
# bus, PipeWire, WirePlumber, xdg-desktop-portal-wlr (with the shared-memory preload) and
# xdg-desktop-portal. Everything started is stopped by PID, also when the caller fails.
#
#   source wayland_session.sh
#   wl_start SHIM_SO [portal|no-portal] [CHOOSER_SCRIPT]   # exports WAYLAND_DISPLAY, bus...
#   wl_client CMD...                                       # a Wayland client, stopped with the rest
#   SWAYSOCK=$WL_SWAYSOCK swaymsg ...                      # reconfigure the compositor
#   wl_stop                                                # also run by the EXIT trap
#
# WL_RESOLUTION (1280x720) sizes the output; WL_MAX_FPS (60) caps the portal's frame rate.
#
# Needs root (sway runs as the system user "ostrel-wl", which is created once); callers
# skip (exit 77) when wl_available fails. The portal asks no one unless CHOOSER_SCRIPT is
# given: then the backend runs it to pick an output, and it decides.

WL_USER=ostrel-wl
WL_PIDS=()
WL_DBUS_PID=
WL_DIR=

wl_available() {
  [ "$(id -u)" -eq 0 ] || { echo "needs root (sway runs as a system user)"; return 1; }
  local tool
  for tool in sway dbus-daemon pipewire wireplumber setpriv /usr/libexec/xdg-desktop-portal \
    /usr/libexec/xdg-desktop-portal-wlr; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool"; return 1; }
  done
}

wl_log() { echo "[wayland $(date +%T.%N | cut -c1-12)] $*"; }

# wl_wait SECONDS COMMAND...: polls every 0.1 s.
wl_wait() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    "${@:2}" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

wl_has_name() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q true
}

wl_fail_start() {
  echo "wayland session: $*" >&2
  for f in "$WL_DIR"/logs/*.log; do echo "--- $f"; tail -n 15 "$f"; done >&2
  wl_stop
  return 1
}

wl_start() {
  local shim=$1 portal=${2:-portal} chooser=${3:-}
  id -u "$WL_USER" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$WL_USER" ||
    { echo "cannot create $WL_USER"; return 1; }
  WL_DIR=$(mktemp -d /tmp/ostrel-wayland-XXXXXX)
  chmod 755 "$WL_DIR"
  local run=$WL_DIR/run srun=$WL_DIR/sway-run cfg=$WL_DIR/config logs=$WL_DIR/logs
  mkdir -p "$run" "$srun" "$cfg/sway" "$cfg/xdg-desktop-portal-wlr" "$WL_DIR/home" "$logs" \
    "$WL_DIR/services"
  chmod 700 "$run" "$srun"
  chown "$WL_USER:" "$srun"
  cat >"$cfg/sway/config" <<EOF
xwayland disable
default_border none
default_floating_border none
output HEADLESS-1 resolution ${WL_RESOLUTION:-1280x720} position 0,0 bg #336699 solid_color
for_window [app_id="ostrel-timecode"] floating enable, move position 0 0
EOF
  {
    echo "[screencast]"
    if [ -n "$chooser" ]; then
      echo "chooser_type=simple"
      echo "chooser_cmd=$chooser"
    else
      echo "chooser_type=none"
      echo "output_name=HEADLESS-1"
    fi
    echo "max_fps=${WL_MAX_FPS:-60}"
  } >"$cfg/xdg-desktop-portal-wlr/config"

  export HOME=$WL_DIR/home XDG_RUNTIME_DIR=$run XDG_CONFIG_HOME=$cfg \
    XDG_DATA_HOME=$WL_DIR/data XDG_STATE_HOME=$WL_DIR/state XDG_CACHE_HOME=$WL_DIR/cache \
    XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland \
    DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus LANG=C.UTF-8
  unset WAYLAND_DISPLAY DISPLAY SWAYSOCK
  mkdir -p "$XDG_DATA_HOME"

  # The bus: with the system's service files, or (no-portal) with none, so nothing that
  # offers the portal can be started on demand.
  local busconf=$WL_DIR/bus.conf
  {
    echo '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
    echo ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">'
    echo "<busconfig><type>session</type><listen>unix:path=$run/bus</listen>"
    if [ "$portal" = portal ]; then echo "<standard_session_servicedirs/>"; fi
    echo "<servicedir>$WL_DIR/services</servicedir>"
    echo '<policy context="default"><allow send_destination="*" eavesdrop="true"/>'
    echo '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>'
  } >"$busconf"
  dbus-daemon --config-file="$busconf" --nofork --nopidfile >"$logs/dbus.log" 2>&1 &
  WL_DBUS_PID=$!
  WL_PIDS+=($!)
  wl_wait 15 test -S "$run/bus" || { wl_fail_start "no session bus"; return 1; }

  setpriv --reuid="$WL_USER" --regid="$WL_USER" --init-groups env -i PATH="$PATH" \
    HOME=/nonexistent XDG_RUNTIME_DIR="$srun" LANG=C.UTF-8 WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 sway -c "$cfg/sway/config" \
    >"$logs/sway.log" 2>&1 &
  WL_PIDS+=($!)
  WL_SWAY_PID=$!
  wl_wait 15 compgen -G "$srun/wayland-[0-9]" || { wl_fail_start "sway did not start"; return 1; }
  WAYLAND_DISPLAY=$(compgen -G "$srun/wayland-[0-9]" | head -n 1)
  export WAYLAND_DISPLAY
  wl_wait 10 compgen -G "$srun/sway-ipc.*.sock" || { wl_fail_start "sway has no IPC socket"; return 1; }
  WL_SWAYSOCK=$(compgen -G "$srun/sway-ipc.*.sock" | head -n 1)
  wl_log "sway up on $WAYLAND_DISPLAY"

  pipewire >"$logs/pipewire.log" 2>&1 &
  WL_PIDS+=($!)
  wl_wait 15 test -S "$run/pipewire-0" || { wl_fail_start "pipewire did not start"; return 1; }
  wireplumber >"$logs/wireplumber.log" 2>&1 &
  WL_PIDS+=($!)
  wl_wait 15 sh -c "pw-cli ls Client 2>/dev/null | grep -q WirePlumber" ||
    { wl_fail_start "wireplumber did not start"; return 1; }
  if [ "$portal" = portal ]; then
    # The backend first, with the preload: otherwise the portal would start it on demand
    # without it.
    LD_PRELOAD=$shim /usr/libexec/xdg-desktop-portal-wlr -l INFO >"$logs/xdpw.log" 2>&1 &
    WL_PIDS+=($!)
    WL_XDPW_PID=$!
    wl_wait 15 wl_has_name org.freedesktop.impl.portal.desktop.wlr ||
      { wl_fail_start "xdg-desktop-portal-wlr did not start"; return 1; }
    /usr/libexec/xdg-desktop-portal -v >"$logs/xdp.log" 2>&1 &
    WL_PIDS+=($!)
    wl_wait 15 wl_has_name org.freedesktop.portal.Desktop ||
      { wl_fail_start "xdg-desktop-portal did not start"; return 1; }
  fi
  wl_log "session ready ($portal)"
}

# Starts a Wayland client as root on the test's compositor; stopped by wl_stop.
wl_client() {
  "$@" >>"$WL_DIR/logs/clients.log" 2>&1 &
  WL_PIDS+=($!)
}

wl_stop() {
  [ -n "$WL_DIR" ] || return 0
  local p i
  # Bus-activated services (permission store, document portal) are the bus's children.
  if [ -n "$WL_DBUS_PID" ]; then
    for p in $(ps -o pid= --ppid "$WL_DBUS_PID" 2>/dev/null); do kill "$p" 2>/dev/null; done
  fi
  for ((i = ${#WL_PIDS[@]} - 1; i >= 0; i--)); do kill "${WL_PIDS[i]}" 2>/dev/null; done
  for p in "${WL_PIDS[@]}"; do
    for _ in $(seq 30); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  # sway's own children (swaybg) left its process tree; they are recognised by this
  # session's runtime folder in their environment, so other sessions are untouched.
  for p in $(pgrep -u "$WL_USER" 2>/dev/null); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "XDG_RUNTIME_DIR=$WL_DIR/sway-run"; then
      kill -9 "$p" 2>/dev/null
    fi
  done
  if mountpoint -q "$WL_DIR/run/doc" 2>/dev/null; then
    fusermount3 -u "$WL_DIR/run/doc" 2>/dev/null || umount -l "$WL_DIR/run/doc" 2>/dev/null
  fi
  if [ "${KEEP_WAYLAND:-0}" = 1 ]; then echo "kept $WL_DIR"; else rm -rf "$WL_DIR"; fi
  WL_PIDS=()
  WL_DBUS_PID=
  WL_DIR=
}
