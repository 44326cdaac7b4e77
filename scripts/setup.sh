#!/bin/sh
# Installs every Debian package that pyxo's build, tests and benchmarks need.
# This is the one list of them. Idempotent; prints nothing when all is there.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libglib2.0-dev libpopt-dev libgtk2.0-dev libgdk-pixbuf-2.0-dev libx11-dev
  libomniorb4-dev omniidl omniorb libudev-dev libjson-glib-dev libnotify-dev
  gettext
  googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind procps
  xvfb xauth xdotool openbox wmctrl x11-utils imagemagick zenity
  e2fsprogs dosfstools util-linux util-linux-extra fdisk genisoimage udftools
  exfatprogs f2fs-tools squashfs-tools cryptsetup-bin btrfs-progs
  ntfs-3g xfsprogs jfsutils reiserfsprogs mtools
  x11-xkb-utils umockdev libumockdev-dev
  dbus-daemon dbus-bin dbus-session-bus-common dunst
  bindfs locales rsync
  lintian dpkg-dev man-db file
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: these packages are missing:$missing" >&2
  echo "setup: run this script as root to install them" >&2
  exit 1
fi
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
