// Inside the volume_info unit: how the formats' readers reach the device,
// and the text and number helpers they share.

#ifndef PYXO_PROBE_VOLUME_PARSE_H
#define PYXO_PROBE_VOLUME_PARSE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "byte_order.h"
#include "mount_guess_fstype.h"
#include "volume_info.h"

// The device, and the region the signature tests left in memory.
struct volume_source {
    int fd;
    const unsigned char *kept;
    fstype_region kept_region;
};

// Copies `length` bytes at `offset` of the device into `buf`: from the kept
// region when it holds them all, else by one read. False when the device
// does not hold them (or the offset is out of range).
bool volume_fetch(const volume_source &src, uint64_t offset, void *buf, size_t length);

// Drops trailing white space (C locale), as blkid does with every label.
void text_trim_end(std::string *s);

// The bytes of a field up to its first zero byte, then trimmed at the end.
std::string text_bytes(const unsigned char *p, size_t field);

// Appends one code point as UTF-8.
void text_put_utf8(std::string *out, uint32_t code);

// UTF-16 (little- or big-endian) of `bytes` bytes up to the first zero unit,
// as UTF-8: a surrogate pair makes one code point, an unpaired surrogate
// U+FFFD, an odd last byte nothing. Trimmed at the end.
std::string text_utf16(const unsigned char *p, size_t bytes, bool big_endian);

// The 16 bytes as a UUID in the usual 8-4-4-4-12 form, or "" when all are zero.
std::string text_uuid(const unsigned char *p);

// Up to 8 bytes, last first, in upper-case hex with a '-' before `dash_at`
// bytes from the end (0: none): FAT and ntfs serial numbers. "" when all
// are zero.
std::string text_serial(const unsigned char *p, size_t bytes, size_t dash_at);

// "%u.%u"
std::string text_version(unsigned major, unsigned minor);

// The readers of each format, called once the type is known. Each fills
// what its format carries and leaves the rest empty.
void volume_ext(const volume_source &src, volume_info *info);
void volume_xfs(const volume_source &src, volume_info *info);
void volume_jfs(const volume_source &src, volume_info *info);
void volume_reiserfs(const volume_source &src, volume_info *info);
void volume_swap(const volume_source &src, volume_info *info);
void volume_luks(const volume_source &src, volume_info *info);
void volume_f2fs(const volume_source &src, volume_info *info);
void volume_squashfs(const volume_source &src, volume_info *info);
void volume_minix(const volume_source &src, volume_info *info);
void volume_btrfs(const volume_source &src, volume_info *info);
void volume_cramfs(const volume_source &src, volume_info *info);
void volume_vfat(const volume_source &src, volume_info *info);
void volume_exfat(const volume_source &src, volume_info *info);
void volume_ntfs(const volume_source &src, volume_info *info);
void volume_iso9660(const volume_source &src, volume_info *info);
void volume_udf(const volume_source &src, volume_info *info);

#endif
