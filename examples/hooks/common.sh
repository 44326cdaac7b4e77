# Shared by the example hooks beside it (sourced, not run): the settings,
# messages, names made safe for directories, and mounting with a record of
# what was mounted, so that the remove run undoes exactly its own attach run.
# Every value that comes from the medium is data: always quoted, never
# evaluated.

# Settings: set these in pyxo-watch's environment, or change the defaults.
mount_root="${PYXO_MOUNT_ROOT:-/media/pyxo}"
mount_options="${PYXO_MOUNT_OPTIONS:-nosuid,nodev,noexec}"
mount_with="${PYXO_MOUNT_WITH:-auto}" # auto (udisks2 where it runs), mount or udisks
ask_timeout="${PYXO_ASK_TIMEOUT:-120}" # seconds a question waits; then the answer is no

# What pyxo-watch gives every hook; empty where unknown, or when run by hand.
: "${PYXO_EVENT:=}" "${PYXO_SERIAL:=}" "${PYXO_DISK:=}" "${PYXO_DEVICE:=}"
: "${PYXO_FSTYPE:=}" "${PYXO_LABEL:=}" "${PYXO_UUID:=}" "${PYXO_VENDOR:=}"
: "${PYXO_MODEL:=}" "${PYXO_SIZE:=}"

here=$(dirname -- "$0")
me="${0##*/}"

say() { printf '%s: %s\n' "$me" "$1" >&2; }
die() {
    say "$1"
    exit 1
}

# Tells the desktop user, or standard error where no notification service
# answers (pyxo-watch passes it on to its own standard error). As root,
# notify-send needs the user's DBUS_SESSION_BUS_ADDRESS to reach the desktop.
tell() {
    if command -v notify-send >/dev/null 2>&1 && notify-send -- pyxo "$1" 2>/dev/null; then
        return 0
    fi
    say "$1"
}

# The size as pyxo-watch prints it, in powers of 1000 with one decimal
# ("16.0 GB"); nothing when unknown.
size_text() {
    case "$1" in '' | *[!0-9]*) return 0 ;; esac
    LC_ALL=C awk -v b="$1" 'BEGIN {
        if (b < 1000) { printf "%d byte%s", b, b == 1 ? "" : "s"; exit }
        split("kB MB GB TB PB EB", unit, " ")
        for (i = 1; i < 6 && b >= 1000 ^ (i + 1); i++) ;
        printf "%.1f %s", b / 1000 ^ i, unit[i] }'
}

# What a person calls the volume: its label, else its UUID, else its device.
volume_name() { printf '%s' "${PYXO_LABEL:-${PYXO_UUID:-${PYXO_DEVICE##*/}}}"; }

# "SanDisk Cruzer Blade, MY STICK (vfat, 16.0 GB)"
describe() {
    maker="$PYXO_VENDOR${PYXO_VENDOR:+${PYXO_MODEL:+ }}$PYXO_MODEL"
    size=$(size_text "$PYXO_SIZE")
    printf '%s%s%s (%s%s)' "$maker" "${maker:+, }" "$(volume_name)" "$PYXO_FSTYPE" "${size:+, $size}"
}

# A directory name from any label: no '/', no control character (labels may
# hold newlines), no leading '.'.
safe_name() {
    safe=$(printf '%s' "$1" | LC_ALL=C tr '/[:cntrl:]' '[_*]')
    case "$safe" in .*) safe="_${safe#.}" ;; esac
    printf '%s' "${safe:-volume}"
}

# Makes the new directory $1, or $1-2, $1-3, ... when the name is taken
# (another stick of the same label); prints its path.
new_dir() {
    made="$1" n=1
    until mkdir -- "$made" 2>/dev/null; do
        [ -e "$made" ] || [ -L "$made" ] || {
            say "cannot make the directory $made"
            return 1
        }
        n=$((n + 1)) made="$1-$n"
    done
    printf '%s' "$made"
}

# Where the record of this volume's mount lives: keyed by device and UUID,
# which pyxo-watch gives the remove run exactly as it gave the attach run.
record_dir() {
    if [ -n "${PYXO_HOOK_STATE:-}" ]; then
        state="$PYXO_HOOK_STATE"
    elif [ "$(id -u)" -eq 0 ]; then
        state=/run/pyxo-hooks
    else
        state="${XDG_RUNTIME_DIR:?neither PYXO_HOOK_STATE nor XDG_RUNTIME_DIR is set}/pyxo-hooks"
    fi
    key=$(printf '%s_%s' "${PYXO_DEVICE##*/}" "$PYXO_UUID" | LC_ALL=C tr -c 'A-Za-z0-9._-' '[_*]')
    printf '%s/%s' "$state" "$key"
}

use_udisks() {
    case "$mount_with" in
        udisks) return 0 ;;
        mount) return 1 ;;
    esac
    command -v udisksctl >/dev/null 2>&1 && udisksctl status >/dev/null 2>&1
}

# Mounts the device $1 (filesystem type $2; empty lets mount find it) under
# the mount root in a directory named after the volume, and records it with
# the mapping $3 to close on remove. Sets $mounted_on. Checks each step
# itself: a function called in a condition runs without set -e.
mount_volume() {
    dev="$1" rec=$(record_dir) || return 1
    if [ -e "$rec" ]; then
        say "$(volume_name) is mounted already"
        return 1
    fi
    mkdir -p -m 0700 "${rec%/*}" && mkdir "$rec" && printf '%s' "$dev" >"$rec/device" &&
        printf '%s' "${3:-}" >"$rec/mapping" || return 1
    set -- -o "$mount_options"
    [ -z "${2:-}" ] || set -- "$@" -t "$2"
    if use_udisks; then
        # It says "Mounted /dev/sdb1 at /media/alice/MY STICK".
        printf '%s' udisks >"$rec/how" &&
            said=$(udisksctl mount --no-user-interaction -b "$dev" "$@") &&
            mounted_on="${said#* at }" && return 0
    elif mkdir -p -- "$mount_root" &&
        mounted_on=$(new_dir "$mount_root/$(safe_name "$(volume_name)")"); then
        printf '%s' mount >"$rec/how" && printf '%s' "$mounted_on" >"$rec/dir" &&
            mount "$@" -- "$dev" "$mounted_on" && return 0
        rmdir -- "$mounted_on"
    fi
    rm -r -- "$rec"
    say "cannot mount $dev"
    return 1
}

# Undoes mount_volume for this volume; nothing when it mounted nothing.
unmount_volume() {
    rec=$(record_dir)
    [ -d "$rec" ] || return 0
    if [ "$(cat "$rec/how")" = udisks ]; then
        # udisks2 also cleans up by itself after a device that went away.
        udisksctl unmount --no-user-interaction -b "$(cat "$rec/device")" >/dev/null 2>&1 || :
    elif [ -f "$rec/dir" ]; then
        dir=$(cat "$rec/dir")
        # The medium is gone already: a program still in the directory
        # gets a lazy unmount rather than a stale mount.
        umount -- "$dir" 2>/dev/null || umount -l -- "$dir" || say "cannot unmount $dir"
        rmdir -- "$dir" || say "cannot remove $dir"
    fi
    mapping=$(cat "$rec/mapping")
    if [ -n "$mapping" ]; then
        cryptsetup close "$mapping" 2>/dev/null || cryptsetup close --deferred "$mapping" ||
            say "cannot close /dev/mapper/$mapping"
    fi
    rm -r -- "$rec"
}
