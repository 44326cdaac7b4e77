// File, URL, path, lock-file and browser helpers.
//
// Free functions with C signatures. Every string returned is newly allocated
// with GLib's allocator and belongs to the caller, who frees it with g_free.
// Nothing here keeps state between calls or logs, except the precondition
// checks of the functions that have them.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// File-type bits of `path` (its mode & 0xF000, symbolic links followed):
// 0x4000 directory, 0x8000 regular file, ...; -1 when stat fails or path is null.
int file_ext_file_get_file_type(const char *path);

// 1 when `protocol` names the local file system: null, "file:" or "files:"
// in any letter case, or anything beginning with '/'. Else 0.
int file_ext_file_protocol_is_local(const char *protocol);

// 1 when a process with this id exists (also one we may not signal), else 0.
// 0 and negative ids answer 0 at once: no signal is ever sent to a group.
int file_ext_check_for_process(int pid);

// ---- URL and path parsing. Pure functions of their argument.
// The path part of a URL ends at the first '#' or '?' (except for the
// protocol). Results are null when the part is not there.

// The scheme with its colon ("ftp:" from "ftp://host/a"), only when a '/'
// follows the colon; "file://" for an absolute path. Null for null.
char *file_ext_file_get_protocol(const char *url);

// The last path segment ("Report.PDF" from "ftp://h/d/Report.PDF?x=1");
// null when it is empty, "." or "..", and for null.
char *file_ext_file_get_file_name(const char *url);

// The extension of the last segment with its dot, in lower case
// ("Archive.TAR.GZ" gives ".tar.gz"). The first character of a segment
// never starts one (".profile" has none). Null for null.
char *file_ext_file_extract_ext(const char *name);

// The last path segment without its extension. A null url is a
// precondition failure.
char *file_ext_file_extract_file_name(const char *url);

// ---- Path building and placing files.

// A name that does not exist in directory `dir`, numbered one past the
// number in front of the name's first dot ("photo12.jpg" gives
// "photo13.jpg", "report.txt" gives "report1.txt"). `dir` is used as a
// plain prefix: pass it with its trailing '/'. The name is the last segment
// of `url`, or `url` itself when `is_name` is non-zero. Null when `dir` is
// not a directory or there is no name. The name is only tested, not
// reserved. A digit run too large for an int counts as ordinary text.
char *file_ext_file_get_new_name(const char *url, const char *dir, int is_name);

// Absolute path `to` written relative to absolute directory `from`; always
// begins with "./" ("/a/b", "/a/c/d" gives "./../c/d"). Null when either
// path is relative; a null argument is a precondition failure.
char *file_ext_make_dynamic_path(const char *from, const char *to);

// `str` resolved against directory `source`: its leading "./" and "../"
// segments are applied, the rest is appended unchanged. Null when a "../"
// would climb above the root or `source` is "/". The root itself is the
// empty text. A null argument is a precondition failure.
char *file_ext_make_static_path(const char *source, const char *str);

// Makes source_path/source_name also exist as target_path/target_name: a
// hard link on the same device, else a copy with the source's permission
// bits (mode & 0777). Never overwrites and never removes the source.
// Returns 0 done; 1 or 2 a null source or target argument; 3 the target is
// the source; 4 the source is not a readable regular file or the target
// directory cannot be examined; 5 the target exists; 100 + errno when the
// link, or the copy's open, fchmod, read, write or close, failed (after a
// failed read or write the partial target remains; after a failed fchmod or
// close the target is removed).
int file_ext_move(const char *source_path, const char *source_name, const char *target_path,
                  const char *target_name);

// ---- Application locks: the file <lock dir>/<app_name> holds the
// holder's process id. The lock dir is "/var/lock/", or $PYXO_LOCK_DIR
// (with its trailing '/'). Names that are empty, "." or "..", or that hold
// a '/', are refused (0, nothing touched); a lock file that is a symbolic
// link is never followed.

// The pid of the live holder (a process whose /proc status mentions
// "pyxo"), else 0. A lock whose process is gone is removed.
int file_ext_lock_app_status(const char *app_name);

// 1 when the calling process now holds the lock, 0 when a live holder has
// it (possibly the caller) or the file cannot be written.
int file_ext_lock_app(const char *app_name);

// 1 when the lock file was removed, whoever holds it; 0 when there is none
// or it could not be removed.
int file_ext_Unlock_app(const char *app_name);

// Starts the first of mozilla, galeon, netscape, konqueror found on PATH
// with `url` as its one argument, without waiting for it. 1 when it was
// started, 0 otherwise.
int file_ext_launch_browser(const char *url);

#ifdef __cplusplus
}
#endif
