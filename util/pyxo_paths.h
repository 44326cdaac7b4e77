// Every fixed path of pyxo, and the environment variables that replace them
// for tests and unusual layouts. The variables are read with secure_getenv,
// so a set-id process always uses the fixed paths.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#define PYXO_PROC_SCSI "/proc/scsi"
#define PYXO_LOCK_FILE "/var/run/pyxod.lock"
#define PYXO_LOG_FILE "/var/log/pyxod.log"
#define PYXO_LOCK_DIR "/var/lock/"  // application locks; keeps its trailing '/'
// pyxo-dialog's catalogues. The build sets it from the install prefix; this
// is the place for the default prefix.
#ifndef PYXO_LOCALE_DIR
#define PYXO_LOCALE_DIR "/usr/local/share/locale"
#endif
// Where today's kernels list SCSI hosts (the sysfs source reads it through
// libudev; this is for telling whether the machine has any).
#define PYXO_SCSI_HOST_CLASS "/sys/class/scsi_host"
// Exists while udevd runs (pyxo-watch: whether a disk's announcement can
// come at all).
#define PYXO_UDEV_CONTROL "/run/udev/control"

// A desktop user's own place for the daemon's lock and log files, where
// pyxo-watch run by a user other than root starts pyxod: this directory in
// $XDG_RUNTIME_DIR, or in the home directory without it, made 0700.
#define PYXO_USER_RUNTIME_DIR "pyxo"
#define PYXO_USER_CACHE_DIR ".cache/pyxo"
#define PYXO_USER_LOCK_NAME "pyxod.lock"
#define PYXO_USER_LOG_NAME "pyxod.log"

inline const char *pyxo_path(const char *variable, const char *fixed) {
    const char *value = secure_getenv(variable);
    return value && *value ? value : fixed;
}

inline const char *pyxo_proc_scsi() {
    return pyxo_path("PYXOD_PROC_SCSI", PYXO_PROC_SCSI);
}
inline const char *pyxo_lock_file() {
    return pyxo_path("PYXOD_LOCK_FILE", PYXO_LOCK_FILE);
}
inline const char *pyxo_log_file() {
    return pyxo_path("PYXOD_LOG_FILE", PYXO_LOG_FILE);
}
inline const char *pyxo_lock_dir() {
    return pyxo_path("PYXO_LOCK_DIR", PYXO_LOCK_DIR);
}

// Rewrites the variable, when it holds a relative path, as that path under
// the current directory, so that it keeps its meaning after a change of
// directory. Uses setenv: call it before any thread starts. Leaves the
// variable alone where secure_getenv ignores it, or where the current
// directory cannot be named.
inline void pyxo_path_anchor(const char *variable) {
    const char *value = secure_getenv(variable);
    if (value == NULL || *value == '\0' || *value == '/')
        return;
    char *dir = get_current_dir_name();
    if (dir == NULL)
        return;
    std::string path = std::string(dir) + "/" + value;
    free(dir);
    setenv(variable, path.c_str(), 1);
}

// The daemon's variables above, anchored in the directory it was started in
// before daemon() changes to "/".
inline void pyxod_paths_anchor() {
    pyxo_path_anchor("PYXOD_PROC_SCSI");
    pyxo_path_anchor("PYXOD_LOCK_FILE");
    pyxo_path_anchor("PYXOD_LOG_FILE");
}
