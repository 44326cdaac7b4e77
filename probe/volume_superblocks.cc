// Formats that name themselves in one superblock at a fixed place.

#include <string.h>
#include <unistd.h>

#include "volume_parse.h"

void volume_ext(const volume_source &src, volume_info *info) {
    unsigned char sb[136];
    if (!volume_fetch(src, 1024, sb, sizeof sb))
        return;
    info->version = text_version(get_le32(sb + 76), get_le16(sb + 62));
    info->uuid = text_uuid(sb + 104);
    info->label = text_bytes(sb + 120, 16);
}

void volume_xfs(const volume_source &src, volume_info *info) {
    unsigned char sb[120];
    if (!volume_fetch(src, 0, sb, sizeof sb))
        return;
    info->uuid = text_uuid(sb + 32);
    info->label = text_bytes(sb + 108, 12);
}

// The 11-byte volume name at 101 is the old place; only the label at 152 counts.
void volume_jfs(const volume_source &src, volume_info *info) {
    unsigned char ids[32];
    if (!volume_fetch(src, 32768 + 136, ids, sizeof ids))
        return;
    info->uuid = text_uuid(ids);
    info->label = text_bytes(ids + 16, 16);
}

// The superblock of 3.5 ends before the UUID and label that 3.6 added.
void volume_reiserfs(const volume_source &src, volume_info *info) {
    // The signature tests found it at one of these, and left it in memory.
    uint64_t base = src.kept_region.offset == 65536 ? 65536 : 8192;
    unsigned char magic[10];
    if (!volume_fetch(src, base + 52, magic, sizeof magic))
        return;
    if (memcmp(magic, "ReIsErFs", 8) == 0) {
        info->version = "3.5";
        return;
    }
    info->version = "3.6";
    unsigned char ids[32];
    if (!volume_fetch(src, base + 84, ids, sizeof ids))
        return;
    info->uuid = text_uuid(ids);
    info->label = text_bytes(ids + 16, 16);
}

// The old signature has no header; the new one a header of version 1.
void volume_swap(const volume_source &src, volume_info *info) {
    size_t pages[] = {size_t(getpagesize()), 4096, 8192};
    for (size_t page : pages) {
        unsigned char magic[10];
        if (page > fstype_buffer_size || !volume_fetch(src, page - 10, magic, sizeof magic))
            continue;
        if (memcmp(magic, "SWAP-SPACE", 10) == 0) {
            info->version = "0";
            return;
        }
        if (memcmp(magic, "SWAPSPACE2", 10) != 0)
            continue;
        unsigned char header[44];
        // The header is in the byte order of the machine that made it.
        if (!volume_fetch(src, 1024, header, sizeof header) ||
            (get_le32(header) != 1 && get_be32(header) != 1))
            return;
        info->version = "1";
        info->uuid = text_uuid(header + 12);
        info->label = text_bytes(header + 28, 16);
        return;
    }
}

// LUKS keeps its numbers big-endian and its UUID as text; only LUKS2 has a label.
void volume_luks(const volume_source &src, volume_info *info) {
    unsigned char header[208];
    if (!volume_fetch(src, 0, header, sizeof header))
        return;
    unsigned version = get_be16(header + 6);
    info->version = std::to_string(version);
    info->uuid = text_bytes(header + 168, 40);
    if (version == 2)
        info->label = text_bytes(header + 24, 48);
}

void volume_f2fs(const volume_source &src, volume_info *info) {
    unsigned char sb[124 + 1024];
    if (!volume_fetch(src, 1024, sb, sizeof sb))
        return;
    info->version = text_version(get_le16(sb + 4), get_le16(sb + 6));
    info->uuid = text_uuid(sb + 108);
    info->label = text_utf16(sb + 124, 1024, false);
}

void volume_squashfs(const volume_source &src, volume_info *info) {
    unsigned char sb[32];
    if (volume_fetch(src, 0, sb, sizeof sb))
        info->version = text_version(get_le16(sb + 28), get_le16(sb + 30));
}

// The magic number tells the version, in either byte order.
void volume_minix(const volume_source &src, volume_info *info) {
    unsigned char magic[2];
    if (!volume_fetch(src, 1040, magic, sizeof magic))
        return;
    switch (get_le16(magic)) {
        case 0x137F:
        case 0x138F:
        case 0x7F13:
        case 0x8F13:
            info->version = "1";
            break;
        case 0x2468:
        case 0x2478:
        case 0x6824:
        case 0x7824:
            info->version = "2";
            break;
    }
}

// The UUID sits before the magic at 65600 that the signature tests read, the
// label 235 bytes behind it: one read from 65568 holds both.
void volume_btrfs(const volume_source &src, volume_info *info) {
    unsigned char sb[299 + 256 - 32];
    if (!volume_fetch(src, 65536 + 32, sb, sizeof sb))
        return;
    info->uuid = text_uuid(sb);
    info->label = text_bytes(sb + 299 - 32, 256);
}

void volume_cramfs(const volume_source &src, volume_info *info) {
    unsigned char name[16];
    if (volume_fetch(src, 48, name, sizeof name))
        info->label = text_bytes(name, sizeof name);
}
