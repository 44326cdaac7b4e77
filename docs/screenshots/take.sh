#!/bin/sh
# Remakes the screenshots of every pyxo-dialog window kind in this folder, on
# a private Xvfb display with openbox (whose frame shows the window titles).
# Usage: docs/screenshots/take.sh [PATH-TO-pyxo-dialog]   (default build/bin/pyxo-dialog)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dialog=$(realpath "${1:-$here/../../build/bin/pyxo-dialog}")
tmp=$(mktemp -d)
cleanup() {
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$tmp/display" 2>/dev/null &
xvfb=$!
while [ ! -s "$tmp/display" ]; do sleep 0.1; done
export DISPLAY=":$(cat "$tmp/display")" HOME="$tmp" LANG=C.UTF-8 NO_AT_BRIDGE=1
unset LANGUAGE LC_ALL
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
until wmctrl -m >/dev/null 2>&1; do sleep 0.1; done
# openbox may still drop a map request just after it announced itself: wait
# until a probe window really shows.
until {
    xmessage -timeout 20 ready? &
    probe=$!
    timeout 3 xdotool search --sync --onlyvisible --classname xmessage >/dev/null
    shown=$?
    kill "$probe"
    wait "$probe" 2>/dev/null
    [ "$shown" -eq 0 ]
}; do :; done

# shot NAME TYPED-TEXT ARGS...: shows one window, frames included, then closes it.
shot() {
    name=$1 typed=$2
    shift 2
    "$dialog" "$@" >/dev/null &
    pid=$!
    win=$(xdotool search --sync --onlyvisible --pid "$pid" | head -n 1)
    xdotool windowactivate --sync "$win"
    [ -n "$typed" ] && xdotool type --delay 20 "$typed"
    frame=$(xwininfo -children -id "$win" | sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p')
    sleep 0.3 # let the last repaint land
    import -window "$frame" "$here/$name.png"
    wmctrl -i -c "$win"
    wait "$pid" || true
    echo "wrote $here/$name.png"
}

shot info "" -t info -m "The backup of /home is complete."
shot error "" -t error -m "The medium was removed before the copy ended."
shot yes_no "" -t yes_no -m "Erase every file on the stick?"
shot value "" -t value -m "Which copy should be kept?" Newest 1 Oldest 2 Both 3
shot password "hunter2" -t password -m "Password of the encrypted volume:"
shot question "Holiday 2026" -t question -m "Name of the new album:"
