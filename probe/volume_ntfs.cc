// ntfs: the serial number from the boot sector, the label from the volume
// name attribute of the $Volume record (number 3 of the master file table).

#include "volume_parse.h"

namespace {

const uint32_t volume_name = 0x60;
const uint32_t end_of_attributes = 0xFFFFFFFF;
const size_t max_record = 4096;
// Update sequence numbers protect each 512 bytes of a record.
const size_t fixup_stride = 512;

// Puts back the bytes that the update sequence numbers stand in for at the end
// of each stride, as every reader of the record must.
void apply_fixups(unsigned char *record, size_t size) {
    size_t at = get_le16(record + 4), count = get_le16(record + 6);
    if (count < 2 || at + 2 * count > size || (count - 1) * fixup_stride > size)
        return;
    for (size_t i = 1; i < count; i++) {
        unsigned char *end = record + i * fixup_stride - 2;
        end[0] = record[at + 2 * i];
        end[1] = record[at + 2 * i + 1];
    }
}

}  // namespace

void volume_ntfs(const volume_source &src, volume_info *info) {
    unsigned char bs[80];
    if (!volume_fetch(src, 0, bs, sizeof bs))
        return;
    info->uuid = text_serial(bs + 72, 8, 0);

    uint64_t sector = get_le16(bs + 11);
    unsigned spc = bs[13];
    // Beyond 128 the byte is a negative power of two, as in newer volumes.
    if (sector < 256 || sector > 4096 || spc == 0 || (spc > 128 && 256 - spc > 20))
        return;
    uint64_t per_cluster = spc <= 128 ? spc : uint64_t(1) << (256 - spc);
    int8_t per_record = int8_t(bs[64]);
    uint64_t cluster = sector * per_cluster;
    uint64_t record_size = per_record < 0 ? (-per_record < 31 ? uint64_t(1) << -per_record : 0)
                                          : uint64_t(per_record) * cluster;
    uint64_t mft = get_le64(bs + 48);
    if (record_size < 256 || record_size > max_record || mft > UINT64_MAX / cluster / 2)
        return;

    unsigned char record[max_record];
    if (!volume_fetch(src, mft * cluster + 3 * record_size, record, size_t(record_size)) ||
        get_le32(record) != 0x454C4946)  // "FILE"
        return;
    apply_fixups(record, size_t(record_size));

    // Each attribute: type, length, resident flag at 8; a resident value's
    // length at 16 and offset at 20. Every step is checked against the record.
    size_t used = get_le32(record + 24);
    if (used > record_size)
        used = size_t(record_size);
    for (size_t at = get_le16(record + 20); at + 24 <= used;) {
        uint32_t type = get_le32(record + at), length = get_le32(record + at + 4);
        if (type == end_of_attributes || length < 24 || length > used - at)
            return;
        if (type == volume_name && record[at + 8] == 0) {
            uint32_t value_length = get_le32(record + at + 16);
            uint32_t value_at = get_le16(record + at + 20);
            if (value_at <= length && value_length <= length - value_at)
                info->label = text_utf16(record + at + value_at, value_length, false);
            return;
        }
        at += length;
    }
}
