#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the tool needs.
# Idempotent: asks apt only for what is missing, and runs `apt-get update` only then.
#   ./setup.sh          build, run, tests and benchmarks
#   ./setup.sh --fuzz   also clang with its sanitizer runtimes, for the fuzz scripts
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  # Qt 6 widgets, D-Bus and Test, with the headers Qt's CMake files look for
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6dbus6 libgl-dev libglx-dev libvulkan-dev
  # Qt's Wayland platform plugin: the tool as a native Wayland client
  qt6-wayland
  fontconfig fonts-dejavu-core fonts-liberation2
  # keyboard wedge: XTest, and an X server for its tests and screenshots
  libx11-dev libxtst-dev xvfb xauth x11-utils xdotool
  # a small window manager, to frame the window in screenshots (screenshot.sh WM=openbox)
  openbox
  # Bluetooth list tests: a private D-Bus with the BlueZ mock
  dbus dbus-daemon python3 python3-dbus python3-dbusmock python3-gi
  # the wedge on real headless desktops (tests/wedge/portal): the desktop portal, GNOME's
  # compositor and portal backend with an AT-SPI client for its permission dialog, KDE's
  # compositor and portal backend, a GTK window that records the keys, software rendering;
  # at-spi2-core and its python3 bindings also serve the window's accessibility test
  xdg-desktop-portal mutter xdg-desktop-portal-gnome at-spi2-core gir1.2-atspi-2.0
  kwin-wayland xdg-desktop-portal-kde qtwayland5 gir1.2-gtk-3.0 libgl1-mesa-dri dbus-bin
  # watch --mqtt: the MQTT client library; its tests and benchmark start a private broker,
  # subscribe with its client and make their certificates with openssl
  libmosquitto-dev mosquitto mosquitto-clients openssl
  # benchmarks
  libbenchmark-dev libboost-dev libpugixml-dev libtinyxml2-dev libexpat1-dev
  # the packaging test: package checks and an independent SVG renderer
  lintian desktop-file-utils appstream librsvg2-bin
  # helpers used by scripts
  procps psmisc imagemagick strace
  # the tests again as an ordinary user (scripts/test-unprivileged.sh): setpriv, useradd
  util-linux passwd
)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev llvm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}" >&2
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
