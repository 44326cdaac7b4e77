#!/bin/sh
# Sets up the machine, builds, and runs the main job: the console servant
# pyxo-watch, which starts the daemon pyxod and prints every report it sends.
# Arguments go to pyxo-watch (see build/bin/pyxo-watch --help). Ctrl-C stops both.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
# Only the programs it runs, not the tests and benchmarks.
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target pyxo-watch pyxod

# pyxo-watch picks the source itself (--source auto): sysfs where the kernel
# lists SCSI hosts, else /proc/scsi.
if [ -d /sys/class/scsi_host ]; then
    echo "run: this machine has SCSI hosts (/sys/class/scsi_host): watching REAL USB"
    echo "run: sticks through sysfs and udev events; plug one in (Ctrl-C stops)"
    exec build/bin/pyxo-watch "$@"
fi
if [ -d /proc/scsi ]; then
    echo "run: watching the real /proc/scsi; plug in a USB stick (Ctrl-C stops)"
    exec build/bin/pyxo-watch "$@"
fi

# No SCSI layer at all (a container, a virtual machine with virtio disks):
# nothing to watch. Show the pair at work on the sample tree instead.
work=$(mktemp -d /tmp/pyxo-demo-XXXXXX)
cp -R examples/proc-scsi "$work/scsi"
cat <<END
run: neither /sys/class/scsi_host nor /proc/scsi exists: this kernel has no
run: SCSI layer loaded, so pyxod would find nothing to watch (a USB stick
run: plugged in loads it; run this again then to watch real sticks).
run: Running pyxo-watch and pyxod on the SAMPLE TREE instead: a copy of
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
