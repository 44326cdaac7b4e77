#include "partition_table.h"

#include <linux/fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "volume_parse.h"

namespace {

// The kernel shows no more partitions of a disk than this.
const int max_number = 256;
// A GPT entry array larger than this is no table any tool writes (128 entries
// of 128 bytes are the rule).
const uint64_t max_entry_bytes = 1 << 20;

struct disk {
    int fd;
    uint64_t size;    // bytes
    uint64_t sector;  // the logical sector size, in which tables count
};

bool read_at(const disk &d, uint64_t offset, void *buf, size_t length) {
    if (offset > d.size || length > d.size - offset)
        return false;
    return pread(d.fd, buf, length, off_t(offset)) == ssize_t(length);
}

// CRC-32 (IEEE, reflected), four bytes a step: a GPT's entry array is
// 16 KiB, and a byte a step would cost more than the rest of the reading.
uint32_t crc32(const unsigned char *p, size_t length) {
    static const auto table = [] {
        std::array<std::array<uint32_t, 256>, 4> t;
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320 ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (int s = 1; s < 4; s++)
            for (uint32_t i = 0; i < 256; i++)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
        return t;
    }();
    uint32_t c = 0xFFFFFFFF;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        c ^= get_le32(p + i);
        c = table[3][c & 0xFF] ^ table[2][(c >> 8) & 0xFF] ^ table[1][(c >> 16) & 0xFF] ^
            table[0][c >> 24];
    }
    for (; i < length; i++)
        c = table[0][(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFF;
}

// A GUID as stored on disk (its first three fields little-endian) in the
// usual lower-case text.
std::string guid_text(const unsigned char *p) {
    const unsigned char b[16] = {p[3], p[2], p[1],  p[0],  p[5],  p[4],  p[7],  p[6],
                                 p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]};
    return text_uuid(b);
}

// The GPT whose header sits at `lba`, when header and entries check out.
bool gpt_at(const disk &d, uint64_t lba, partition_table *t) {
    std::vector<unsigned char> h(d.sector);
    if (lba > d.size / d.sector || !read_at(d, lba * d.sector, h.data(), h.size()) ||
        memcmp(h.data(), "EFI PART", 8) != 0)
        return false;
    uint32_t header_size = get_le32(&h[12]), header_crc = get_le32(&h[16]);
    if (header_size < 92 || header_size > d.sector || get_le64(&h[24]) != lba)
        return false;
    memset(&h[16], 0, 4);
    if (crc32(h.data(), header_size) != header_crc)
        return false;
    uint64_t entries_lba = get_le64(&h[72]);
    uint32_t count = get_le32(&h[80]), entry_size = get_le32(&h[84]);
    if (entry_size < 128 || entry_size % 8 != 0 || uint64_t(count) * entry_size > max_entry_bytes ||
        entries_lba > d.size / d.sector)
        return false;
    std::vector<unsigned char> entries(size_t(count) * entry_size);
    if (!read_at(d, entries_lba * d.sector, entries.data(), entries.size()) ||
        crc32(entries.data(), entries.size()) != get_le32(&h[88]))
        return false;
    static const unsigned char unused[16] = {};
    for (uint32_t i = 0; i < count && int(i) < max_number; i++) {
        const unsigned char *e = &entries[size_t(i) * entry_size];
        if (memcmp(e, unused, 16) != 0)
            t->entries.push_back({int(i) + 1, guid_text(e + 16), text_utf16(e + 56, 72, false)});
    }
    t->type = "gpt";
    t->uuid = guid_text(&h[56]);
    return true;
}

bool is_extended(unsigned char type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// The MBR's partitions, and the logical ones in the chain of extended boot
// records behind its extended partition.
bool mbr(const disk &d, const unsigned char *sector0, partition_table *t) {
    const unsigned char *slot = sector0 + 446;
    for (int i = 0; i < 4; i++) {
        if (slot[16 * i] != 0 && slot[16 * i] != 0x80)
            return false;  // no boot flag but these: not a partition table
    }
    uint32_t id = get_le32(sector0 + 440);
    std::vector<int> numbers;
    uint64_t extended = 0;
    for (int i = 0; i < 4; i++) {
        const unsigned char *e = slot + 16 * i;
        if (e[4] == 0 || get_le32(e + 12) == 0)
            continue;
        numbers.push_back(i + 1);
        if (is_extended(e[4]) && extended == 0)
            extended = get_le32(e + 8);
    }
    // Each record names its logical partition and the next record, relative
    // to the extended partition; a chain that loops, with or without
    // partitions on the way, ends at the count.
    unsigned char ebr[512];
    uint64_t next = extended;
    for (int number = 5, records = 0; next != 0 && number <= max_number && records < max_number;
         records++) {
        if (!read_at(d, next * d.sector, ebr, sizeof ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA)
            break;
        uint64_t link = 0;
        for (int i = 0; i < 4; i++) {
            const unsigned char *e = ebr + 446 + 16 * i;
            if (e[4] == 0 || get_le32(e + 12) == 0)
                continue;
            if (is_extended(e[4]) && link == 0)
                link = get_le32(e + 8);
            else if (!is_extended(e[4]) && number <= max_number)
                numbers.push_back(number++);
        }
        next = link != 0 ? extended + link : 0;
    }
    t->type = "dos";
    char text[16];
    if (id != 0) {
        snprintf(text, sizeof text, "%08x", id);
        t->uuid = text;
    }
    for (int n : numbers) {
        snprintf(text, sizeof text, "-%02x", unsigned(n));
        t->entries.push_back({n, id != 0 ? t->uuid + text : "", ""});
    }
    return true;
}

}  // namespace

int partition_table_read_fd(int fd, partition_table *table) {
    *table = partition_table();
    off_t end = lseek(fd, 0, SEEK_END);
    disk d = {fd, end > 0 ? uint64_t(end) : 0, 512};
    struct stat st;
    int sector = 0;
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &sector) == 0 &&
        (sector == 1024 || sector == 2048 || sector == 4096))
        d.sector = uint64_t(sector);
    unsigned char sector0[512];
    if (!read_at(d, 0, sector0, sizeof sector0) || sector0[510] != 0x55 || sector0[511] != 0xAA)
        return 0;
    bool protective = false;
    for (int i = 0; i < 4; i++)
        protective = protective || sector0[446 + 16 * i + 4] == 0xEE;
    // Where the primary GPT is damaged, its backup at the end still holds.
    bool found = protective ? gpt_at(d, 1, table) || gpt_at(d, d.size / d.sector - 1, table)
                            : mbr(d, sector0, table);
    if (!found)
        *table = partition_table();
    return found ? 1 : 0;
}
