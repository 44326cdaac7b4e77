// Runs the signature tests, and reads the volume's names and the partition
// table, on a device image made from the fuzz input.
//
// The regions the tests read lie far apart (up to 2 MiB for the UDF walk), so
// the input is not the image itself. Its first byte picks one of the test
// images (one per signature, or a near miss of one); the rest is a list of
// patches on it, each a 3-byte little-endian offset, a length byte and that
// many bytes.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mount_guess_fstype.h"
#include "partition_table.h"
#include "signature_images.h"
#include "volume_info.h"

namespace {

// Room for the longest UDF walk: 15 blocks to find the factor, 63 steps of it.
const off_t image_size = 32768 + 2048 * 15 * 64;

const char *const known_types[] = {
    "xiafs", "romfs",   "xfs",      "qnx4",     "bfs",         "ntfs",    "cramfs", "vfat",
    "sysv",  "ext2",    "ext3",     "ext4",     "minix",       "ext",     "vxfs",   "hfs",
    "adfs",  "ufs",     "reiserfs", "hpfs",     "jfs",         "iso9660", "udf",    "swap",
    "exfat", "hfsplus", "f2fs",     "squashfs", "crypto_LUKS", "btrfs"};

int image_fd() {
    static int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0)
        abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    int fd = image_fd();
    std::vector<unsigned char> base =
        signature_image_bytes(signature_images[data[0] % signature_image_count]);
    // Emptied and refilled: holes read as zeros.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, image_size) != 0 ||
        pwrite(fd, base.data(), base.size(), 0) != ssize_t(base.size()))
        abort();

    size_t at = 1;
    while (at + 4 <= size) {
        off_t offset = (data[at] | data[at + 1] << 8 | data[at + 2] << 16) % image_size;
        size_t length = data[at + 3];
        at += 4;
        if (length > size - at)
            length = size - at;
        if (offset + off_t(length) > image_size)
            length = size_t(image_size - offset);
        if (pwrite(fd, data + at, length, offset) != ssize_t(length))
            abort();
        at += length;
    }

    // The image holds every region of the table: the probe always runs to a result.
    volume_info info;
    int found = volume_info_read_fd(fd, "image", &info);
    if ((found != 0) != (info.type != nullptr) || (info.type == nullptr) != (info.usage == nullptr))
        abort();
    if (info.type != nullptr) {
        bool known = false;
        for (const char *name : known_types)
            known = known || strcmp(info.type, name) == 0;
        if (!known)
            abort();
    }
    // Every name is bounded by its field: 512 UTF-16 units of f2fs make the
    // longest label; no name holds a zero byte.
    for (const std::string *s : {&info.label, &info.uuid, &info.version}) {
        if (s->size() > 512 * 3 || s->find('\0') != std::string::npos)
            abort();
    }
    if (info.uuid.size() > 40 || info.version.size() > 16)
        abort();

    // The same image as a disk: sector 0 and the GPT header lie within the patches' reach.
    partition_table table;
    int has_table = partition_table_read_fd(fd, &table);
    if ((has_table != 0) != (table.type != nullptr) || table.entries.size() > 256)
        abort();
    for (const partition_entry &e : table.entries) {
        if (e.number < 1 || e.number > 256 || e.uuid.size() > 36 || e.name.size() > 36 * 3)
            abort();
    }
    return 0;
}
