// Filesystem type detection by the signatures at the start of a block device.
//
// Every function only reads. The type names returned are constant strings
// (the kernel's filesystem type names); the caller never frees them.

#ifndef PYXO_PROBE_MOUNT_GUESS_FSTYPE_H
#define PYXO_PROBE_MOUNT_GUESS_FSTYPE_H

// Returns the type found on the block device at `device` (a symbolic link is
// followed), or null: for a path that is missing or no block device (also one
// swapped for anything else before the open, which never waits), a device
// that cannot be opened, no signature found, or a failed seek or read (which
// alone writes a message to standard error).
const char *do_guess_fstype(const char *device);

// Runs the signature tests on an open descriptor, which stays open. `device`
// names it in the message of a failed seek or read. Works on any seekable
// descriptor, so an image file stands in for a device.
const char *do_guess_fstype_fd(int fd, const char *device);

// 1 when the 5 bytes at `id` are an ECMA-167 volume structure identifier.
int may_be_udf(const unsigned char *id);

// 1 when the volume descriptors behind the one at 32768 lead to an NSR
// descriptor. Failed reads give 0 and no message.
int is_really_udf(int fd);

// 1 when the 10 bytes just before `page_end` hold a swap signature.
int may_be_swap(const unsigned char *page_end);

// 1 when the 64-byte reiserfs superblock at `superblock` carries its magic.
int is_reiserfs_magic_string(const unsigned char *superblock);

#endif
