#!/bin/sh
# Sets up the machine, builds, and runs the main job: the console servant
# pyxo-watch, which starts the daemon pyxod and prints every report it sends.
# Arguments go to pyxo-watch (see build/bin/pyxo-watch --help). Ctrl-C stops both.
#
# Where the kernel has no SCSI hosts (a container, a virtual machine with
# virtio disks) there is nothing real to watch: as root it then shows the pair
# watching a simulated USB stick (umockdev plays the kernel's side; the
# stick's volume is a real loop device), plugged in and pulled out every few
# seconds, with a small example hook that names each volume as it comes and
# goes. `scripts/run.sh --sample-tree` shows instead the oldest road, a
# copy of a /proc/scsi tree (also what runs without root).
set -eu
cd "$(dirname "$0")/.."
sample=no
if [ "${1:-}" = "--sample-tree" ]; then
    sample=yes
    shift
fi
scripts/setup.sh
# Only the programs it runs, not the tests and benchmarks.
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target pyxo-watch pyxod

# pyxo-watch picks the source itself (--source auto): sysfs where the kernel
# lists SCSI hosts, else /proc/scsi.
if [ $sample = no ] && [ -d /sys/class/scsi_host ]; then
    echo "run: this machine has SCSI hosts (/sys/class/scsi_host): watching REAL USB"
    echo "run: sticks through sysfs and udev events; plug one in (Ctrl-C stops)"
    exec build/bin/pyxo-watch "$@"
fi
if [ $sample = no ] && [ -d /proc/scsi ]; then
    echo "run: watching the real /proc/scsi; plug in a USB stick (Ctrl-C stops)"
    exec build/bin/pyxo-watch "$@"
fi
if [ $sample = no ] && [ "$(id -u)" -eq 0 ]; then
    cat <<END
run: this kernel has no SCSI hosts, so there is no real USB stick to watch.
run: Running pyxo-watch and pyxod --sysfs on a SIMULATED stick instead: umockdev
run: plays the kernel's sysfs and uevents, and the stick's partition is a real
run: loop device holding a FAT filesystem labelled "MY STICK". It is plugged in
run: and pulled out every 4 seconds; the example hook examples/hooks/say-volume
run: prints a line (on standard error) for each volume that comes and goes.
run: Ctrl-C stops.
END
    cmake --build build --target pyxo-stick-demo
    # Ctrl-C is the demo's to take; this shell only waits for its end.
    trap : INT TERM
    status=0
    hook=examples/hooks/say-volume
    build/bin/pyxo-stick-demo 4 --on-attach $hook --on-remove $hook "$@" || status=$?
    [ "$status" -eq 77 ] || exit "$status"
    echo "run: no loop device here: showing the sample tree instead."
elif [ $sample = no ]; then
    echo "run: no SCSI hosts here, and the simulated stick needs root (a loop device):"
    echo "run: showing the sample tree instead."
fi

# The sample tree: a copy of examples/proc-scsi that a simulator writes.
work=$(mktemp -d /tmp/pyxo-demo-XXXXXX)
cp -R examples/proc-scsi "$work/scsi"
cat <<END
run: Running pyxo-watch and pyxod on the SAMPLE TREE: a copy of
run: examples/proc-scsi in $work/scsi, in which
run: examples/plug-simulator.sh plugs a USB stick in and pulls it out every
run: 5 seconds. The lock and log files are kept there too. Ctrl-C stops.
END

export PYXOD_PROC_SCSI="$work/scsi"
export PYXOD_LOCK_FILE="$work/pyxod.lock"
export PYXOD_LOG_FILE="$work/pyxod.log"

examples/plug-simulator.sh "$work/scsi" 5 &
simulator=$!
build/bin/pyxo-watch -l "$@" &
watcher=$!

finish() {
    kill -TERM "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
    rm -rf "$work"
}
stop() {
    kill -TERM "$watcher" 2>/dev/null || true
}
trap stop INT TERM HUP

# wait returns early when a trapped signal arrives; wait again for the end.
status=0
while :; do
    wait "$watcher" && status=0 || status=$?
    kill -0 "$watcher" 2>/dev/null || break
done
finish
exit "$status"
