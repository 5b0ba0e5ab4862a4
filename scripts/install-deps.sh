#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Idempotent: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev llvm
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # program libraries
  libssl-dev libx264-dev
  libx11-dev libxext-dev libxfixes-dev libxrandr-dev libxcomposite-dev libxres-dev libxss-dev
  libxdamage-dev
  libpulse-dev libasound2-dev libsoxr-dev
  libavahi-client-dev libavahi-core-dev
  qt6-base-dev
  # Wayland capture: ScreenCast portal over sd-bus, frames from PipeWire
  libpipewire-0.3-dev libsystemd-dev
  # built-in receiver and decoding checks
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg libpng-dev
  # real peers started by tests
  xvfb openbox trayer x11-apps x11-xserver-utils xdotool imagemagick
  pulseaudio pulseaudio-utils sox avahi-daemon avahi-utils dbus chrony tshark curl
  iproute2 procps x11-utils python3
  # an AirPlay audio receiver nobody here wrote, for the Apple Lossless and 16-bit streams
  shairport-sync
  # every thread's stack when a stress-run step hangs
  gdb
  # headless Wayland desktop for the portal tests and benchmark
  sway foot fonts-dejavu-core pipewire pipewire-bin wireplumber xdg-desktop-portal
  xdg-desktop-portal-wlr grim fuse3 util-linux
  # GStreamer anchor of the Wayland benchmark
  gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base gir1.2-gstreamer-1.0
  python3-dbus python3-gi
  gstreamer1.0-plugins-ugly libwayland-dev wayland-protocols libwayland-bin
  # packaging (.deb dependencies) and the checks of what is installed
  dpkg-dev desktop-file-utils appstream man-db
  # benchmark anchor only
  libyuv-dev
  # speaker benchmark: an AirPlay audio receiver whose output is recorded, and the sound
  # server whose RAOP sink is the anchor
  shairport-sync pipewire-pulse
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer once, non-interactively.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
