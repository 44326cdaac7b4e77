#include "mount_guess_fstype.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "byte_order.h"

namespace {

// ECMA-167 volume structure identifiers, in the order they are tried.
const char *const udf_magic[] = {"BEA01", "BOOT2", "CD001", "CDW02", "NSR02", "NSR03", "TEA01"};

// The tests read no region larger than the longest swap page examined.
const size_t max_read = fstype_buffer_size;
const size_t udf_block = 2048;
const off_t iso_descriptors = 32768;

bool is(const unsigned char *p, const char *text, size_t n) {
    return memcmp(p, text, n) == 0;
}

// A region counts only when the seek lands on it and one read fills it.
bool read_region(int fd, off_t offset, unsigned char *buf, size_t length) {
    if (lseek(fd, offset, SEEK_SET) != offset)
        return false;
    return read(fd, buf, length) == ssize_t(length);
}

bool is_fat(const unsigned char *b) {
    const unsigned char *oem = b + 3;
    // "mkfs.fat" is what current dosfstools writes.
    bool known_maker = is(oem, "MSDOS", 5) || is(oem, "MSWIN", 5) || is(oem, "MTOOL", 5) ||
                       is(oem, "mkdosfs", 7) || is(oem, "kmkdosfs", 8) || is(oem, "CH-FOR18", 8) ||
                       is(oem, "mkfs.fat", 8);
    if (!known_maker)
        return false;
    return is(b + 54, "FAT12   ", 8) || is(b + 54, "FAT16   ", 8) || is(b + 82, "FAT32   ", 8);
}

// ext3 mounts an ext2 superblock only when it declares no feature beyond
// those ext3 knows: incompatible ones (filetype, recovery, journal device,
// meta block groups) and read-only compatible ones (sparse superblocks, large
// files, b-tree directories). Any other, extents above all, needs ext4.
bool needs_ext4(const unsigned char *superblock) {
    uint32_t incompat = get_le32(superblock + 96);
    uint32_t ro_compat = get_le32(superblock + 100);
    return (incompat & ~uint32_t(0x0002 | 0x0004 | 0x0008 | 0x0010)) != 0 ||
           (ro_compat & ~uint32_t(0x0001 | 0x0002 | 0x0004)) != 0;
}

// HFS keeps its numbers big-endian; a signature stored in one byte order is
// taken together with a 512-byte block size stored in the same order (0x20000
// read little-endian is 512 stored big-endian), so a volume laid out as
// published is found.
bool is_hfs(const unsigned char *b) {
    uint32_t block_size = get_le32(b + 20);
    return (get_le16(b) == 0x4244 && block_size == 0x200) ||
           (get_be16(b) == 0x4244 && block_size == 0x20000);
}

// The boot block's last byte checks bytes 1 to 510, folding carries back in;
// the disc record inside it gives the sector size as a power of two.
bool is_adfs(const unsigned char *b) {
    unsigned sum = 0;
    for (int i = 510; i > 0; i--)
        sum = b[i] + (sum & 0xff) + (sum >> 8);
    unsigned log2_sector = b[448];
    return sum == b[511] && log2_sector >= 8 && log2_sector <= 10;
}

bool is_swap(const unsigned char *b) {
    size_t page = size_t(getpagesize());
    // A larger page ends beyond what is read; only the usual page sizes count.
    if (page <= max_read && may_be_swap(b + page))
        return true;
    return may_be_swap(b + 4096) || may_be_swap(b + 8192);
}

size_t swap_length() {
    size_t page = size_t(getpagesize());
    if (page < 8192)
        return 8192;
    if (page > max_read)
        return max_read;
    return page;
}

// The table proper, reading into `b` (max_read bytes). Returns the type or
// null; a region that cannot be read sets *io_failed and leaves the errno of
// the failed call in *io_errno. *kept tells which region `b` holds.
const char *run_tests(int fd, unsigned char *b, fstype_region *kept, bool *io_failed,
                      int *io_errno) {
    auto read_or_fail = [&](off_t offset, size_t length) {
        errno = 0;
        *kept = {offset, 0};
        if (read_region(fd, offset, b, length)) {
            kept->length = length;
            return true;
        }
        *io_failed = true;
        *io_errno = errno;
        return false;
    };

    if (!read_or_fail(0, 576))
        return nullptr;
    if (get_le32(b + 572) == 0x012FD16D)
        return "xiafs";
    if (is(b, "-rom1fs-", 8))
        return "romfs";
    if (is(b, "XFSB", 4))
        return "xfs";
    if (is(b + 4, "QNX4FS", 6))
        return "qnx4";
    if (get_le32(b) == 0x1BADFACE)
        return "bfs";
    if (is(b + 3, "NTFS", 4))
        return "ntfs";
    if (get_le32(b) == 0x28CD3D45)
        return "cramfs";
    if (is_fat(b))
        return "vfat";

    if (!read_or_fail(512, 512))
        return nullptr;
    if (get_le32(b + 504) == 0xFD187E20)
        return "sysv";

    if (!read_or_fail(1024, 228))
        return nullptr;
    uint32_t magic = get_le16(b + 56);
    if (magic == 0xEF53 || magic == 0xEF51 || magic == 0x53EF) {
        if (needs_ext4(b))
            return "ext4";
        bool has_journal = (b[92] & 0x04) != 0 && get_le32(b + 224) != 0;
        return has_journal ? "ext3" : "ext2";
    }
    uint32_t minix = get_le16(b + 16);
    if (minix == 0x137F || minix == 0x138F || minix == 0x8F13 || minix == 0x2468 || minix == 0x2478)
        return "minix";
    if (magic == 0x137D)
        return "ext";
    if (get_le32(b) == 0xA501FCF5)
        return "vxfs";

    if (!read_or_fail(1024, 24))
        return nullptr;
    if (is_hfs(b))
        return "hfs";

    if (!read_or_fail(3072, 512))
        return nullptr;
    if (is_adfs(b))
        return "adfs";

    if (!read_or_fail(8192, 1376))
        return nullptr;
    uint32_t ufs = get_le32(b + 1372);
    if (ufs == 0x00011954 || ufs == 0x54190100)
        return "ufs";

    if (!read_or_fail(8192, 64))
        return nullptr;
    if (is_reiserfs_magic_string(b))
        return "reiserfs";

    if (!read_or_fail(8192, 8))
        return nullptr;
    if (get_le32(b) == 0xF995E849)
        return "hpfs";

    if (!read_or_fail(iso_descriptors, 112))
        return nullptr;
    if (is(b, "JFS1", 4))
        return "jfs";

    if (!read_or_fail(iso_descriptors, udf_block))
        return nullptr;
    // High Sierra, the forerunner of ISO 9660, never carries UDF.
    if (is(b + 9, "CDROM", 5))
        return "iso9660";
    if (is(b + 1, "CD001", 5))
        return is_really_udf(fd) ? "udf" : "iso9660";
    if (may_be_udf(b + 1))
        return "udf";

    if (!read_or_fail(65536, 64))
        return nullptr;
    if (is_reiserfs_magic_string(b))
        return "reiserfs";

    if (!read_or_fail(0, swap_length()))
        return nullptr;
    if (is_swap(b))
        return "swap";

    // Today's media, tried only when nothing of the table matched, so that
    // none of its results changes. All but the last look at bytes already
    // read: the swap read always covers the first 8192.
    if (is(b + 3, "EXFAT   ", 8))
        return "exfat";
    if (is(b + 1024, "H+", 2) || is(b + 1024, "HX", 2))
        return "hfsplus";
    if (get_le32(b + 1024) == 0xF2F52010)
        return "f2fs";
    if (is(b, "hsqs", 4))
        return "squashfs";
    if (is(b, "LUKS\xBA\xBE", 6))
        return "crypto_LUKS";
    // Every read of the table succeeded; a device too short for this one
    // simply carries no Btrfs.
    *kept = {65600, 0};
    if (read_region(fd, 65600, b, 64) && is(b, "_BHRfS_M", 8)) {
        kept->length = 64;
        return "btrfs";
    }
    return nullptr;
}

// Opens the block device at `device` read-only, or gives -1. The path may be
// swapped between the caller's stat and this open: a FIFO put there would
// block a plain open for good, so the first open does not wait and only a
// block device is kept. That open also skips the driver's check for a medium,
// so the device is opened again through the descriptor, which names the same
// device whatever the path says by now: an empty card reader then fails to
// open as before, instead of reading as a device of no bytes.
int open_block_device(const char *device) {
    int probe_fd = open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe_fd < 0)
        return -1;
    struct stat st;
    if (fstat(probe_fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        close(probe_fd);
        return -1;
    }
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", probe_fd);
    int fd = open(self, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // No /proc: keep the first descriptor, only made to wait on reads.
        int flags = fcntl(probe_fd, F_GETFL);
        if (flags != -1 && fcntl(probe_fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
            return probe_fd;
    }
    close(probe_fd);
    return fd;
}

}  // namespace

int guess_fstype_open(const char *device) {
    struct stat st;
    // Only block devices: an image in a regular file is not probed.
    if (stat(device, &st) != 0 || !S_ISBLK(st.st_mode))
        return -1;
    return open_block_device(device);
}

int may_be_udf(const unsigned char *id) {
    for (const char *magic : udf_magic) {
        if (is(id, magic, 5))
            return 1;
    }
    return 0;
}

int is_really_udf(int fd) {
    unsigned char block[udf_block];

    // Descriptors sit one logical block apart, and the block may be larger
    // than a CD sector: the first non-empty slot behind 32768 tells by how much.
    int factor = 0;
    for (int i = 1; i <= 15 && factor == 0; i++) {
        if (!read_region(fd, iso_descriptors + off_t(udf_block) * i, block, udf_block))
            return 0;
        if (block[1] != 0)
            factor = i;
    }
    if (factor == 0)
        return 0;

    for (int j = 1; j <= 63; j++) {
        if (j > 1 &&
            !read_region(fd, iso_descriptors + off_t(udf_block) * factor * j, block, udf_block))
            return 0;
        if (is(block + 1, "NSR0", 4))
            return 1;
        if (!may_be_udf(block + 1))
            return 0;
    }
    return 0;
}

int may_be_swap(const unsigned char *page_end) {
    return is(page_end - 10, "SWAP-SPACE", 10) || is(page_end - 10, "SWAPSPACE2", 10);
}

int is_reiserfs_magic_string(const unsigned char *superblock) {
    return is(superblock + 52, "ReIsErFs", 8) || is(superblock + 52, "ReIsEr2Fs", 9);
}

const char *do_guess_fstype_kept(int fd, const char *device, unsigned char *buffer,
                                 fstype_region *kept) {
    bool io_failed = false;
    int io_errno = 0;
    const char *type = run_tests(fd, buffer, kept, &io_failed, &io_errno);
    if (io_failed) {
        if (io_errno != 0) {
            errno = io_errno;
            perror(device);
        } else {
            fputs("mount: error while guessing filesystem type\n", stderr);
        }
    }
    return type;
}

const char *do_guess_fstype_fd(int fd, const char *device) {
    unsigned char buffer[fstype_buffer_size];
    fstype_region kept;
    return do_guess_fstype_kept(fd, device, buffer, &kept);
}

const char *do_guess_fstype(const char *device) {
    int fd = guess_fstype_open(device);
    if (fd < 0)
        return nullptr;
    const char *type = do_guess_fstype_fd(fd, device);
    close(fd);
    return type;
}
