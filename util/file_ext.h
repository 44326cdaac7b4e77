// File, URL, path, lock-file and browser helpers.
//
// Free functions with C signatures. Every string returned is newly allocated
// with GLib's allocator and belongs to the caller, who frees it with g_free.
// Nothing here keeps state between calls or logs, except the precondition
// checks of the functions that have them.
#pragma once

// File-type bits of `path` (its mode & 0xF000, symbolic links followed):
// 0x4000 directory, 0x8000 regular file, ...; -1 when stat fails or path is null.
int file_ext_file_get_file_type(const char *path);

// 1 when `protocol` names the local file system: null, "file:" or "files:"
// in any letter case, or anything beginning with '/'. Else 0.
int file_ext_file_protocol_is_local(const char *protocol);

// 1 when a process with this id exists (also one we may not signal), else 0.
// 0 and negative ids answer 0 at once: no signal is ever sent to a group.
int file_ext_check_for_process(int pid);
