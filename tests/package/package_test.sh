#!/bin/sh
# The Debian package as a user meets it: built, checked by lintian,
# installed with apt, used from /usr, and removed without a trace.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR. Exits 77 (skipped) where it
# must not install packages.
set -eu
src=$1
dir=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing a package needs root"
    exit 77
fi
if dpkg-query -W -f='${Status}' pyxo 2>/dev/null | grep -q 'install ok installed'; then
    echo "skipped: a pyxo package is installed on this machine; not touching it"
    exit 77
fi

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

deb=$("$src/scripts/package.sh" "$dir")
echo "== $deb"
dpkg-deb -c "$deb"

echo "== lintian"
lintian --fail-on error,warning "$deb" || fail "lintian found errors or warnings"

work=$(mktemp -d)
trap 'dpkg --purge pyxo >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
echo "== apt install"
apt install -y -o DPkg::Lock::Timeout=300 "$deb"
dpkg -L pyxo >"$work/files"

echo "== the programs, from /usr"
[ "$(command -v pyxo_dev)" = /usr/sbin/pyxo_dev ] || fail "pyxo_dev is not /usr/sbin/pyxo_dev"
/usr/sbin/pyxo_dev >"$work/out" || fail "pyxo_dev without a device: status $?"
grep -q '^pyxo_dev <device>$' "$work/out" || fail "pyxo_dev printed no usage"
[ "$(command -v pyxo-eject)" = /usr/sbin/pyxo-eject ] || fail "pyxo-eject is not /usr/sbin/pyxo-eject"
/usr/sbin/pyxo-eject --help >"$work/out" || fail "pyxo-eject --help: status $?"
grep -q '^Usage: pyxo-eject' "$work/out" || fail "pyxo-eject --help printed no usage"
man -w pyxo-eject >/dev/null || fail "man -w pyxo-eject found no page"
/usr/bin/pyxo-dialog -h >"$work/out" || fail "pyxo-dialog -h: status $?"
grep -q '^Usage : pyxo-dialog' "$work/out" || fail "pyxo-dialog -h printed no usage"
# The installed dialog reads its catalogue where the package put it.
grep -q /usr/share/locale/fr/LC_MESSAGES/pyxo.mo "$work/files" || fail "no French catalogue"
grep -aq '/usr/share/locale' /usr/bin/pyxo-dialog || fail "pyxo-dialog looks elsewhere for catalogues"
page=$(man -w pyxod) || fail "man -w pyxod found no page"
echo "pyxod's page: $page"

echo "== pyxo-watch for a desktop user, as installed"
grep -qx /usr/lib/systemd/user/pyxo-watch.service "$work/files" || fail "no systemd user unit"
run=$(mktemp -d)
chown nobody:nogroup "$run"
# An empty /proc/scsi of its own: the machine may have neither that nor sysfs.
setpriv --reuid=nobody --regid=nogroup --clear-groups env -u PYXOD_LOCK_FILE \
    -u PYXOD_LOG_FILE XDG_RUNTIME_DIR="$run" HOME="$run" PYXOD_PROC_SCSI="$run" \
    /usr/bin/pyxo-watch --json >"$work/watch" 2>&1 &
watch=$!
i=0
until grep -q daemon_attached "$work/watch" || [ $i -ge 200 ]; do
    sleep 0.1
    i=$((i + 1))
done
lock=$(cat "$run/pyxo/pyxod.lock" 2>/dev/null || true)
kill "$watch" 2>/dev/null || true
status=0
wait "$watch" || status=$?
rm -rf "$run"
grep -q "\"pid\":$lock}" "$work/watch" || fail "no daemon of its own, lock '$lock': $(cat "$work/watch")"
[ $status -eq 7 ] || fail "pyxo-watch as a user ended with $status"

echo "== the utility library, through pkg-config"
cat >"$work/use.c" <<'END'
#include <file_ext.h>
#include <glib.h>
#include <string.h>

int main(void) {
    char *protocol = file_ext_file_get_protocol("ftp://host/dir/file");
    int ok = protocol != NULL && strcmp(protocol, "ftp:") == 0;
    g_free(protocol);
    return ok ? 0 : 1;
}
END
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/use" "$work/use.c" $(pkg-config --cflags --libs pyxo-util)
"$work/use" || fail "file_ext_file_get_protocol gave the wrong protocol"
ldd "$work/use" | grep -q 'libpyxo-util\.so\.0 => /' || fail "not linked to the shared library"
exported=$(nm -D --defined-only /usr/lib/*/libpyxo-util.so.0 | awk '{print $3}' |
    grep -v -e '^file_ext_' -e '^gext_stack_' -e '^PYXO_UTIL_0$' || true)
[ -z "$exported" ] || fail "exported beyond the public functions: $exported"

echo "== dpkg -r"
dpkg -r pyxo
left=""
while read -r path; do
    # Directories other packages share stay; everything of ours goes.
    if [ -e "$path" ] || [ -L "$path" ]; then
        if [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1; then
            continue
        fi
        left="$left $path"
    fi
done <"$work/files"
[ -z "$left" ] || fail "left after dpkg -r:$left"
echo "removed every installed file"
# Nor does the package stay known to dpkg (the trap purges it).
