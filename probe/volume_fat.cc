// FAT and exFAT: the serial number and version from the boot sector, the
// label from its entry in the root directory, read a sector at a time along
// the directory's clusters until the label or the directory's end.

#include <algorithm>
#include <functional>

#include "volume_parse.h"

namespace {

// No FAT directory holds more entries; a chain that loops ends here too.
const size_t max_entries = 65536;
const size_t max_sector = 4096;

enum scan_step { go_on, found, stop };

struct directory_scan {
    const volume_source &src;
    size_t sector;
    size_t entries_left = max_entries;
    std::function<scan_step(const unsigned char *entry)> visit;
};

// Visits the entries of `bytes` bytes at `offset`.
scan_step scan_region(directory_scan *scan, uint64_t offset, uint64_t bytes) {
    unsigned char block[max_sector];
    for (uint64_t done = 0; done < bytes; done += scan->sector) {
        size_t length = bytes - done < scan->sector ? size_t(bytes - done) : scan->sector;
        if (!volume_fetch(scan->src, offset + done, block, length))
            return stop;
        for (size_t at = 0; at + 32 <= length; at += 32) {
            if (scan->entries_left-- == 0)
                return stop;
            scan_step step = scan->visit(block + at);
            if (step != go_on)
                return step;
        }
    }
    return go_on;
}

// Follows a chain of clusters from `first`: `where` gives a cluster's offset,
// `next` the cluster after it, or 0 when the chain ends or breaks.
void scan_chain(directory_scan *scan, uint32_t first, uint64_t cluster_bytes,
                const std::function<uint64_t(uint32_t)> &where,
                const std::function<uint32_t(uint32_t)> &next) {
    for (uint32_t c = first; c != 0; c = next(c)) {
        if (scan_region(scan, where(c), cluster_bytes) != go_on)
            return;
    }
}

bool power_of_two(uint64_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

}  // namespace

void volume_vfat(const volume_source &src, volume_info *info) {
    unsigned char bs[90];
    if (!volume_fetch(src, 0, bs, sizeof bs))
        return;
    uint32_t fat16_length = get_le16(bs + 22);
    bool fat32 = fat16_length == 0;
    // The extended boot record: drive, a reserved byte, signature, serial.
    const unsigned char *ext = bs + (fat32 ? 64 : 36);
    if (ext[2] == 0x28 || ext[2] == 0x29)
        info->uuid = text_serial(ext + 3, 4, 2);

    uint64_t sector = get_le16(bs + 11), per_cluster = bs[13], reserved = get_le16(bs + 14);
    uint64_t fats = bs[16], root_entries = get_le16(bs + 17);
    uint64_t total = get_le16(bs + 19) != 0 ? get_le16(bs + 19) : get_le32(bs + 32);
    uint64_t fat_length = fat32 ? get_le32(bs + 36) : fat16_length;
    if (sector < 512 || sector > max_sector || !power_of_two(sector) || !power_of_two(per_cluster))
        return;
    uint64_t root_start = reserved + fats * fat_length;
    uint64_t data_start = root_start + (root_entries * 32 + sector - 1) / sector;
    uint64_t clusters = total > data_start ? (total - data_start) / per_cluster : 0;
    // The count of clusters decides, whatever name the boot sector gives.
    info->version = fat32 ? "FAT32" : clusters < 4084 ? "FAT12" : "FAT16";

    // The label is the root directory's volume entry alone: blkid reports
    // the boot sector's copy apart, never as LABEL.
    auto visit = [&](const unsigned char *e) {
        if (e[0] == 0)
            return stop;
        unsigned attributes = e[11];
        if (e[0] == 0xE5 || (attributes & 0x3F) == 0x0F)
            return go_on;  // deleted, or part of a long name
        if ((attributes & 0x08) == 0 || (attributes & 0x10) != 0)
            return go_on;
        unsigned char name[11];
        std::copy(e, e + 11, name);
        if (name[0] == 0x05)  // stands for a first byte 0xE5
            name[0] = 0xE5;
        info->label = text_bytes(name, sizeof name);
        return found;
    };
    directory_scan scan{src, size_t(sector), max_entries, visit};
    if (!fat32) {
        scan_region(&scan, root_start * sector, root_entries * 32);
        return;
    }
    auto valid = [&](uint32_t c) { return c >= 2 && c - 2 < clusters ? c : 0; };
    scan_chain(
        &scan, valid(get_le32(bs + 44)), per_cluster * sector,
        [&](uint32_t c) { return (data_start + (c - 2) * per_cluster) * sector; },
        [&](uint32_t c) -> uint32_t {
            unsigned char entry[4];
            if (!volume_fetch(src, reserved * sector + uint64_t(c) * 4, entry, sizeof entry))
                return 0;
            return valid(get_le32(entry) & 0x0FFFFFFF);
        });
}

void volume_exfat(const volume_source &src, volume_info *info) {
    unsigned char bs[112];
    if (!volume_fetch(src, 0, bs, sizeof bs))
        return;
    info->uuid = text_serial(bs + 100, 4, 2);
    info->version = text_version(bs[105], bs[104]);

    unsigned sector_shift = bs[108], cluster_shift = bs[109];
    if (sector_shift < 9 || sector_shift > 12 || sector_shift + cluster_shift > 25)
        return;
    uint64_t fat_start = uint64_t(get_le32(bs + 80)) << sector_shift;
    uint64_t heap = uint64_t(get_le32(bs + 88)) << sector_shift;
    uint32_t clusters = get_le32(bs + 92);
    uint64_t cluster_bytes = uint64_t(1) << (sector_shift + cluster_shift);
    auto valid = [&](uint32_t c) { return c >= 2 && c - 2 < clusters ? c : 0; };

    auto visit = [&](const unsigned char *e) {
        if (e[0] == 0)
            return stop;
        if (e[0] != 0x83)
            return go_on;
        // The count is of UTF-16 units, of which the entry holds 11.
        size_t units = e[1] < 11 ? e[1] : 11;
        info->label = text_utf16(e + 2, units * 2, false);
        return found;
    };
    directory_scan scan{src, size_t(1) << sector_shift, max_entries, visit};
    scan_chain(
        &scan, valid(get_le32(bs + 96)), cluster_bytes,
        [&](uint32_t c) { return heap + uint64_t(c - 2) * cluster_bytes; },
        [&](uint32_t c) -> uint32_t {
            unsigned char entry[4];
            if (!volume_fetch(src, fat_start + uint64_t(c) * 4, entry, sizeof entry))
                return 0;
            return valid(get_le32(entry));
        });
}
