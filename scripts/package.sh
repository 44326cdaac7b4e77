#!/bin/sh
# Builds the Debian package pyxo_<version>_<arch>.deb in DIR (default
# build-deb/) and prints its path. Usage: scripts/package.sh [DIR]
# Install it with `apt install ./DIR/pyxo_*.deb`, remove it with
# `apt remove pyxo`.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=${1:-build-deb}
case $dir in /*) ;; *) dir=$(pwd)/$dir ;; esac

# Debian's own compiler and linker flags (hardening included); CMake takes
# them from the environment when it first configures DIR.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B "$dir" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None \
    -DPYXO_TESTS=OFF >/dev/null
rm -f "$dir"/pyxo_*.deb
cmake --build "$dir" -j "$(nproc)" --target package >&2
ls "$dir"/pyxo_*.deb
