#include "volume_info.h"

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "mount_guess_fstype.h"
#include "volume_parse.h"

namespace {

struct format_reader {
    const char *type;
    void (*read)(const volume_source &, volume_info *);
};

// The types whose superblocks name more than their type. The others (xiafs,
// romfs, qnx4, bfs, sysv, ext, vxfs, hfs, adfs, ufs, hpfs, hfsplus) give
// their type and usage alone.
const format_reader readers[] = {
    {"ext2", volume_ext},          {"ext3", volume_ext},         {"ext4", volume_ext},
    {"xfs", volume_xfs},           {"jfs", volume_jfs},          {"reiserfs", volume_reiserfs},
    {"swap", volume_swap},         {"crypto_LUKS", volume_luks}, {"f2fs", volume_f2fs},
    {"squashfs", volume_squashfs}, {"minix", volume_minix},      {"btrfs", volume_btrfs},
    {"cramfs", volume_cramfs},     {"vfat", volume_vfat},        {"exfat", volume_exfat},
    {"ntfs", volume_ntfs},         {"iso9660", volume_iso9660},  {"udf", volume_udf},
};

const char *usage_of(const char *type) {
    if (strcmp(type, "crypto_LUKS") == 0)
        return "crypto";
    // blkid counts swap among "other" data, beside RAID members and the like.
    if (strcmp(type, "swap") == 0)
        return "other";
    return "filesystem";
}

}  // namespace

bool volume_fetch(const volume_source &src, uint64_t offset, void *buf, size_t length) {
    const fstype_region &k = src.kept_region;
    uint64_t kept_start = uint64_t(k.offset);
    if (offset >= kept_start && length <= k.length && offset - kept_start <= k.length - length) {
        memcpy(buf, src.kept + (offset - kept_start), length);
        return true;
    }
    if (offset > uint64_t(INT64_MAX) - length)
        return false;
    return pread(src.fd, buf, length, off_t(offset)) == ssize_t(length);
}

int volume_info_read_fd(int fd, const char *device, volume_info *info) {
    *info = volume_info();
    unsigned char buffer[fstype_buffer_size];
    volume_source src = {fd, buffer, {0, 0}};
    info->type = do_guess_fstype_kept(fd, device, buffer, &src.kept_region);
    if (info->type == nullptr)
        return 0;
    info->usage = usage_of(info->type);
    for (const format_reader &r : readers) {
        if (strcmp(r.type, info->type) == 0)
            r.read(src, info);
    }
    return 1;
}

int volume_info_read(const char *device, volume_info *info) {
    *info = volume_info();
    int fd = guess_fstype_open(device);
    if (fd < 0)
        return 0;
    int found = volume_info_read_fd(fd, device, info);
    close(fd);
    return found;
}
