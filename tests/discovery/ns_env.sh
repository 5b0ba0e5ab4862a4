# Two network namespaces joined by a veth pair, each optionally with its own avahi-daemon on a
# private system bus. Sourced by the discovery test scripts. Everything made here is recorded
# and removed by ns_cleanup, which the caller runs from an EXIT trap.
#   rx: the receivers' side, 10.78.0.2 on $NS_RX_IF
#   tx: the program's side, 10.78.0.1 on $NS_TX_IF
NS_RX=ostrel-rx-$$
NS_TX=ostrel-tx-$$
NS_RX_IF=vr$$
NS_TX_IF=vt$$
NS_WORK=$(mktemp -d /tmp/ostrel-ns-XXXXXX)
ns_pids=()

ns_cleanup() {
  local p
  # Whatever still runs inside our namespaces was started by this test.
  for p in $(ip netns pids "$NS_RX" 2>/dev/null) $(ip netns pids "$NS_TX" 2>/dev/null); do
    ns_pids+=("$p")
  done
  for p in "${ns_pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${ns_pids[@]}"; do
    for _ in $(seq 30); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  ip link del "$NS_TX_IF" 2>/dev/null
  ip -n "$NS_TX" link del "$NS_TX_IF" 2>/dev/null
  ip netns del "$NS_RX" 2>/dev/null
  ip netns del "$NS_TX" 2>/dev/null
  if [ "${KEEP_NS_WORK:-0}" = 1 ]; then echo "kept $NS_WORK"; else rm -rf "$NS_WORK"; fi
}

ns_setup() {
  ip netns add "$NS_RX" || return 1
  ip netns add "$NS_TX" || return 1
  ip link add "$NS_RX_IF" type veth peer name "$NS_TX_IF" || return 1
  ip link set "$NS_RX_IF" netns "$NS_RX" && ip link set "$NS_TX_IF" netns "$NS_TX" || return 1
  ip -n "$NS_RX" addr add 10.78.0.2/24 dev "$NS_RX_IF"
  ip -n "$NS_TX" addr add 10.78.0.1/24 dev "$NS_TX_IF"
  ip -n "$NS_RX" link set "$NS_RX_IF" up && ip -n "$NS_RX" link set lo up
  ip -n "$NS_TX" link set "$NS_TX_IF" up && ip -n "$NS_TX" link set lo up
}

# ns_bus NS: the private system bus address for NS (the socket need not exist).
ns_bus() { echo "unix:path=$NS_WORK/$1/bus.sock"; }

# ns_avahi NS IFACE [SERVICES_DIR]: a system bus and avahi-daemon inside NS, serving the static
# service files of SERVICES_DIR; waits until the daemon answers.
ns_avahi() {
  local ns=$1 iface=$2 dir=$NS_WORK/$1 services=${3:-$NS_WORK/$1/services}
  mkdir -p "$services"
  mkdir -p "$dir"
  cat >"$dir/dbus.conf" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
XML
  cat >"$dir/avahi.conf" <<CONF
[server]
host-name=$ns-host
use-ipv4=yes
use-ipv6=no
allow-interfaces=$iface
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
[rlimits]
CONF
  ip netns exec "$ns" dbus-daemon --config-file="$dir/dbus.conf" --fork --nopidfile --print-pid=3 3>"$dir/dbus.pid" || return 1
  ns_pids+=("$(cat "$dir/dbus.pid")")
  ns_avahi_daemon "$ns" "$services"
}

# ns_avahi_daemon NS SERVICES_DIR: (re)starts the avahi-daemon of NS on the bus and
# configuration ns_avahi made; its pid is left in $avahi_pid. Waits until it answers.
ns_avahi_daemon() {
  local ns=$1 dir=$NS_WORK/$1 services=$2
  ip netns exec "$ns" unshare -m --propagation private sh -c \
    "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon && mount --bind $services /etc/avahi/services && DBUS_SYSTEM_BUS_ADDRESS=$(ns_bus "$ns") exec avahi-daemon -f $dir/avahi.conf --no-drop-root --no-chroot --no-rlimits" \
    >"$dir/avahi.log" 2>&1 &
  avahi_pid=$!
  ns_pids+=($!)
  for _ in $(seq 100); do
    grep -q "Server startup complete" "$dir/avahi.log" && return 0
    sleep 0.1
  done
  echo "avahi-daemon in $ns did not start:"; cat "$dir/avahi.log"
  return 1
}

# ns_publish NS NAME TYPE PORT [TXT...]: announces a service from NS until ns_cleanup (or
# kill of the pid left in $published).
ns_publish() {
  local ns=$1
  shift
  DBUS_SYSTEM_BUS_ADDRESS=$(ns_bus "$ns") ip netns exec "$ns" avahi-publish -s "$@" >/dev/null 2>&1 &
  published=$!
  ns_pids+=($published)
}
