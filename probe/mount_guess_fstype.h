// Filesystem type detection by the signatures at the start of a block device.
//
// Every function only reads. The type names returned are constant strings
// (the kernel's filesystem type names); the caller never frees them.

#ifndef PYXO_PROBE_MOUNT_GUESS_FSTYPE_H
#define PYXO_PROBE_MOUNT_GUESS_FSTYPE_H

#include <stddef.h>
#include <sys/types.h>

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

// The size of the largest region the signature tests read at once.
const size_t fstype_buffer_size = 32768;

// A region of the device: where it starts, and how many bytes of it were read.
struct fstype_region {
    off_t offset;
    size_t length;
};

// do_guess_fstype_fd, reading into `buffer` (fstype_buffer_size bytes) of the
// caller, which afterwards holds the region of the device *kept says: the one
// the deciding test looked at (for the types tried after the table, the first
// 8192 bytes or more, or the 64 bytes at 65600 for btrfs). Whoever wants more
// of the volume then reads again only what lies elsewhere.
const char *do_guess_fstype_kept(int fd, const char *device, unsigned char *buffer,
                                 fstype_region *kept);

// Opens `device` read-only as do_guess_fstype does: -1 without a word for a
// path that is missing, no block device, or cannot be opened.
int guess_fstype_open(const char *device);

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
