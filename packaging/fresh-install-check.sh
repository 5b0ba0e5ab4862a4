#!/usr/bin/env bash
# Installs the .deb on a freshly bootstrapped Debian 12 (a minimal chroot, so every library
# the program needs must come from the package's computed dependencies) and checks that
# what was installed works: --system-info from /usr/bin, the desktop entry and AppStream
# metadata validate, the manual page shows, and the installed program mirrors a virtual
# display to the installed receiver, every picture decoding.
# Usage (root): packaging/fresh-install-check.sh build/ostrel_*.deb [CHROOT_DIR]
# CHROOT_DIR (default /var/tmp/ostrel-fresh-bookworm) is bootstrapped when empty and can be
# reused; the package is installed into a throw-away copy of it each time.
set -euo pipefail
deb=$(realpath "${1:?usage: $0 PACKAGE.deb [CHROOT_DIR]}")
base=${2:-/var/tmp/ostrel-fresh-bookworm}
[ "$(id -u)" = 0 ] || { echo "run as root (debootstrap, chroot)"; exit 2; }

if [ ! -x "$base/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null || apt-get install -y debootstrap
  # The machine's own Debian archive, as its apt sources name it (deb822 or one-line form).
  mirror=$(sed -n 's/^URIs: *\([^ ]*\/debian\)\/\{0,1\}$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
  [ -n "$mirror" ] || { echo "no Debian archive in the apt sources"; exit 2; }
  debootstrap --variant=minbase bookworm "$base" "$mirror"
fi

root=$(mktemp -d /var/tmp/ostrel-fresh-XXXXXX)
cleanup() {
  for m in dev/pts dev proc sys tmp; do umount -l "$root/$m" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t sysfs sys "$root/sys"
mount -t tmpfs tmp "$root/tmp"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

step() { echo "== $*"; }
step "install $(basename "$deb") with its dependencies"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb")" >/dev/null
in_root dpkg -s ostrel | grep -E '^(Status|Version)'

step "ostrel --version and --system-info from the installed path"
in_root /usr/bin/ostrel --version
in_root env XDG_DATA_HOME=/tmp/data /usr/bin/ostrel --system-info
grep -q "Ostrel" "$root"/tmp/data/Ostrel/Ostrel.log
sed -n 1,6p "$root"/tmp/data/Ostrel/Ostrel.log

# Tools for the checks only, installed after the package so they cannot hide a missing
# dependency of it.
step "validate the desktop entry and the AppStream metadata; show the manual page"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  desktop-file-utils appstream man-db xvfb x11-utils iproute2 python3 >/dev/null
in_root desktop-file-validate /usr/share/applications/org.ostrel.Ostrel.desktop
in_root appstreamcli validate --no-net /usr/share/metainfo/org.ostrel.Ostrel.metainfo.xml
in_root env MANPAGER=cat MANWIDTH=80 man ostrel | head -n 12
in_root env MANPAGER=cat MANWIDTH=80 man ostrel-receiver | head -n 4

step "mirror a virtual display with the installed programs (private network namespace)"
cat >"$root/tmp/mirror.sh" <<'SH'
set -u
ip link set lo up
export XDG_DATA_HOME=/tmp/data XDG_CONFIG_HOME=/tmp/config XDG_RUNTIME_DIR=/tmp/run
mkdir -p /tmp/run && chmod 700 /tmp/run
exec 5>/tmp/displayfd
Xvfb -displayfd 5 -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec 5>&-
for _ in $(seq 100); do [ -s /tmp/displayfd ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 /tmp/displayfd)
ostrel-receiver --bind 127.0.0.1 --exit-on-disconnect --report /tmp/report.json 2>/tmp/rx.log &
rx=$!
for _ in $(seq 100); do grep -q Listening /tmp/rx.log && break; sleep 0.1; done
ostrel "connect?host=127.0.0.1&key=check" 2>/tmp/ostrel.log &
sender=$!
for _ in $(seq 300); do [ "$(grep -c 'video packet, ' /tmp/rx.log)" -ge 3 ] && break; sleep 0.1; done
sleep 1
kill -INT $sender; wait $sender; status=$?
for _ in $(seq 50); do kill -0 $rx 2>/dev/null || break; sleep 0.1; done
kill -INT $rx 2>/dev/null; wait $rx
kill $xvfb; wait $xvfb 2>/dev/null
python3 - "$status" <<'PY'
import json, sys
r = json.load(open("/tmp/report.json"))
print(f"exit status {sys.argv[1]}, pictures decoded {r['framesDecoded']}, decode errors {r['decodeErrors']}")
sys.exit(0 if sys.argv[1] == "0" and r["framesDecoded"] >= 3 and r["decodeErrors"] == 0 else 1)
PY
SH
if ! unshare -n chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  bash /tmp/mirror.sh; then
  tail -n 20 "$root/tmp/ostrel.log" "$root/tmp/rx.log"
  exit 1
fi
step "all checks passed"
