#!/bin/sh
# Plays a USB stick being plugged in and pulled out, every few seconds, in a
# copy of a /proc/scsi tree (never in the real one): it rewrites the stick's
# host file under usb-storage/ the way the kernel's USB storage driver would.
# Usage: plug-simulator.sh TREE [SECONDS]
set -eu
tree=${1:?usage: plug-simulator.sh TREE [SECONDS]}
period=${2:-5}
case $tree in /proc/*) echo "plug-simulator: refusing to write under /proc" >&2; exit 2 ;; esac
mkdir -p "$tree/usb-storage"

# Writes the host file of host $1 with attachment state $2 in one step, so
# that the daemon never reads half a file.
write_host() {
    file="$tree/usb-storage/$1"
    cat > "$file.new" <<END
   Host scsi$1: usb-storage
       Vendor: Kingston
      Product: DataTraveler 3.0
Serial Number: 60A44C413A8FF1A0B9690152
     Protocol: Transparent SCSI
    Transport: Bulk
         GUID: 0951166660a44c413a8f
     Attached: $2
END
    mv "$file.new" "$file"
}

host=5
while :; do
    sleep "$period"
    # The kernel gives a stick plugged in again a new host number; the old
    # host's file goes away.
    rm -f "$tree/usb-storage/$((host - 1))"
    write_host $host Yes
    echo "plug-simulator: stick plugged in on host scsi$host" >&2
    sleep "$period"
    write_host $host No
    echo "plug-simulator: stick pulled out of host scsi$host" >&2
    host=$((host + 1))
done
