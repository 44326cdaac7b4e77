#include "signature_images.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>

namespace {

void le16(unsigned char *m, size_t at, unsigned v) {
    m[at] = v & 0xff;
    m[at + 1] = (v >> 8) & 0xff;
}

void le32(unsigned char *m, size_t at, unsigned long v) {
    for (int i = 0; i < 4; i++)
        m[at + i] = (v >> (8 * i)) & 0xff;
}

void text(unsigned char *m, size_t at, const char *s) {
    memcpy(m + at, s, strlen(s));
}

// A FAT boot sector: OEM name at 3, label at 54 (FAT12/16) or 82 (FAT32).
void fat(unsigned char *m, const char *oem, const char *label) {
    text(m, 3, oem);
    text(m, strcmp(label, "FAT32   ") == 0 ? 82 : 54, label);
}

void ext(unsigned char *m, unsigned magic, unsigned compat, unsigned long journal_inode,
         unsigned long incompat = 0, unsigned long ro_compat = 0) {
    le16(m, 1080, magic);
    m[1116] = compat;
    le32(m, 1120, incompat);
    le32(m, 1124, ro_compat);
    le32(m, 1248, journal_inode);
}
// Every feature ext3 mounts, incompatible and read-only compatible.
const unsigned ext3_incompat = 0x02 | 0x04 | 0x08 | 0x10;
const unsigned ext3_ro_compat = 0x01 | 0x02 | 0x04;
const unsigned extents = 0x40;

// HFS master directory block at 1024: signature bytes, allocation block size.
void hfs(unsigned char *m, unsigned char sig0, unsigned char sig1, const unsigned char size[4]) {
    m[1024] = sig0;
    m[1025] = sig1;
    memcpy(m + 1044, size, 4);
}
const unsigned char size_512_be[4] = {0, 0, 2, 0};
const unsigned char size_512_le[4] = {0, 2, 0, 0};
const unsigned char size_4096_be[4] = {0, 0, 0x10, 0};

// The ADFS boot block checksum over bytes 510 down to 1 of the block at 3072.
unsigned adfs_sum(const unsigned char *m) {
    const unsigned char *b = m + 3072;
    unsigned sum = 0;
    for (int i = 510; i > 0; i--)
        sum = b[i] + (sum & 0xff) + (sum >> 8);
    return sum;
}

void adfs(unsigned char *m, unsigned char log2_sector) {
    m[3072 + 448] = log2_sector;
    m[3072 + 511] = adfs_sum(m) & 0xff;
}

// A volume descriptor (type byte, then the 5-byte identifier) in 2048-byte slot n
// counted from 32768.
void descriptor(unsigned char *m, int n, unsigned char type, const char *id) {
    size_t at = 32768 + 2048 * size_t(n);
    m[at] = type;
    text(m, at + 1, id);
    m[at + 6] = 1;
}

void swap_at(unsigned char *m, size_t page_end, const char *sig) {
    text(m, page_end - 10, sig);
}

void utf16le(unsigned char *m, size_t at, std::initializer_list<unsigned> units) {
    for (unsigned u : units)
        le16(m, at, u), at += 2;
}

// exFAT of 512-byte clusters: the FAT at 12288, cluster 2 at 16384, the root
// directory in cluster 4, and a label entry claiming `count` units.
void exfat(unsigned char *m, unsigned count, std::initializer_list<unsigned> label) {
    text(m, 3, "EXFAT   ");
    le32(m, 80, 24), le32(m, 88, 32), le32(m, 92, 100), le32(m, 96, 4);
    m[108] = 9;
    le32(m, 12288 + 16, 0xFFFFFFFF);
    m[17408] = 0x83, m[17409] = count;
    utf16le(m, 17410, label);
}

// ntfs of 512-byte clusters, 1024-byte records from cluster `mft`; record 3
// holds a volume name whose value claims `length` bytes.
void ntfs(unsigned char *m, unsigned long mft, unsigned length) {
    text(m, 3, "NTFS    ");
    le16(m, 11, 512), m[13] = 1, le32(m, 48, mft), m[64] = 0xF6;
    unsigned char *r = m + 32768 + 3072;
    text(r, 0, "FILE");
    le16(r, 4, 48), le16(r, 6, 3), le16(r, 20, 56), le32(r, 24, 1024);
    le32(r, 56, 0x60), le32(r, 60, 40), le32(r, 72, length), le16(r, 76, 24);
    utf16le(r, 80, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
    le32(r, 96, 0xFFFFFFFF);
}

}  // namespace

const signature_image signature_images[] = {
    {"xiafs magic", "xiafs", 1, [](unsigned char *m) { le32(m, 572, 0x012FD16D); }},
    {"xiafs magic stored big-endian", nullptr, 24,
     [](unsigned char *m) {
         m[572] = 0x01, m[573] = 0x2F, m[574] = 0xD1, m[575] = 0x6D;
     }},
    {"romfs", "romfs", 2, [](unsigned char *m) { text(m, 0, "-rom1fs-"); }},
    {"xfs", "xfs", 3, [](unsigned char *m) { text(m, 0, "XFSB"); }},
    {"qnx4", "qnx4", 4, [](unsigned char *m) { text(m, 4, "QNX4FS"); }},
    {"bfs", "bfs", 5, [](unsigned char *m) { le32(m, 0, 0x1BADFACE); }},
    {"ntfs", "ntfs", 6, [](unsigned char *m) { text(m, 3, "NTFS    "); }},
    {"cramfs", "cramfs", 7, [](unsigned char *m) { le32(m, 0, 0x28CD3D45); }},

    {"FAT12 by MSDOS", "vfat", 8, [](unsigned char *m) { fat(m, "MSDOS5.0", "FAT12   "); }},
    {"FAT32 by MSWIN", "vfat", 8, [](unsigned char *m) { fat(m, "MSWIN4.1", "FAT32   "); }},
    {"FAT16 by MTOOL", "vfat", 8, [](unsigned char *m) { fat(m, "MTOOL412", "FAT16   "); }},
    {"FAT12 by mkdosfs", "vfat", 8, [](unsigned char *m) { fat(m, "mkdosfs", "FAT12   "); }},
    {"FAT16 by kmkdosfs", "vfat", 8, [](unsigned char *m) { fat(m, "kmkdosfs", "FAT16   "); }},
    {"FAT32 by CH-FOR18", "vfat", 8, [](unsigned char *m) { fat(m, "CH-FOR18", "FAT32   "); }},
    {"FAT12 by mkfs.fat", "vfat", 8, [](unsigned char *m) { fat(m, "mkfs.fat", "FAT12   "); }},
    {"FAT16 by mkfs.fat", "vfat", 8, [](unsigned char *m) { fat(m, "mkfs.fat", "FAT16   "); }},
    {"FAT32 by mkfs.fat", "vfat", 8, [](unsigned char *m) { fat(m, "mkfs.fat", "FAT32   "); }},
    {"FAT12 by an unknown OEM", nullptr, 24, [](unsigned char *m) { fat(m, "IBM  3.3", "FAT12   "); }},
    {"FAT16 by a near mkfs.fat", nullptr, 24,
     [](unsigned char *m) { fat(m, "mkfs.faT", "FAT16   "); }},
    {"FAT label without its blanks", nullptr, 24,
     [](unsigned char *m) { fat(m, "MSDOS5.0", "FAT12"); }},
    {"FAT32 label where FAT12/16 keep theirs", nullptr, 24,
     [](unsigned char *m) {
         text(m, 3, "MSWIN4.1");
         text(m, 54, "FAT32   ");
     }},
    {"FAT16 label where FAT32 keeps its", nullptr, 24,
     [](unsigned char *m) {
         text(m, 3, "MSDOS5.0");
         text(m, 82, "FAT16   ");
     }},

    {"sysv", "sysv", 9, [](unsigned char *m) { le32(m, 1016, 0xFD187E20); }},

    {"ext2", "ext2", 10, [](unsigned char *m) { ext(m, 0xEF53, 0, 0); }},
    {"ext2, old magic", "ext2", 10, [](unsigned char *m) { ext(m, 0xEF51, 0, 0); }},
    {"ext2, swapped magic", "ext2", 10, [](unsigned char *m) { ext(m, 0x53EF, 0, 0); }},
    {"ext3: journal flag and inode", "ext3", 10, [](unsigned char *m) { ext(m, 0xEF53, 0x3C, 8); }},
    {"ext3: journal inode in its high byte only", "ext3", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0x04, 0x01000000); }},
    {"ext3 with the old magic", "ext3", 10, [](unsigned char *m) { ext(m, 0xEF51, 0x04, 8); }},
    {"journal flag, inode 0", "ext2", 10, [](unsigned char *m) { ext(m, 0xEF53, 0x04, 0); }},
    {"journal inode, no flag", "ext2", 10, [](unsigned char *m) { ext(m, 0xEF53, 0x3B, 8); }},

    {"ext2 with every feature ext3 mounts", "ext2", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0, 0, ext3_incompat, ext3_ro_compat); }},
    {"ext3 with every feature ext3 mounts", "ext3", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0x04, 8, ext3_incompat, ext3_ro_compat); }},
    {"ext4: extents and a journal", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0x04, 8, ext3_incompat | extents, ext3_ro_compat); }},
    {"ext4: extents, no journal", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0, 0, extents); }},
    {"ext4 with the old magic", "ext4", 10, [](unsigned char *m) { ext(m, 0xEF51, 0, 0, extents); }},
    {"ext4: compression, the one low bit ext3 refuses", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0, 0, 0x01); }},
    {"ext4: top incompatible bit", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0, 0, 0x80000000); }},
    {"ext4: huge files, read-only compatible", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0, 0, 0, 0x08); }},
    {"ext4: top read-only compatible bit", "ext4", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0x04, 8, 0, 0x80000000); }},
    {"compatible features never make ext4", "ext3", 10,
     [](unsigned char *m) { ext(m, 0xEF53, 0xFF, 8); }},

    {"minix 0x137F", "minix", 11, [](unsigned char *m) { le16(m, 1040, 0x137F); }},
    {"minix 0x138F", "minix", 11, [](unsigned char *m) { le16(m, 1040, 0x138F); }},
    {"minix 0x8F13", "minix", 11, [](unsigned char *m) { le16(m, 1040, 0x8F13); }},
    {"minix 0x2468", "minix", 11, [](unsigned char *m) { le16(m, 1040, 0x2468); }},
    {"minix 0x2478", "minix", 11, [](unsigned char *m) { le16(m, 1040, 0x2478); }},
    {"ext", "ext", 12, [](unsigned char *m) { le16(m, 1080, 0x137D); }},
    {"vxfs", "vxfs", 13, [](unsigned char *m) { le32(m, 1024, 0xA501FCF5); }},

    {"hfs as published: BD, 512 big-endian", "hfs", 14,
     [](unsigned char *m) { hfs(m, 0x42, 0x44, size_512_be); }},
    {"hfs byte-swapped: DB, 512 little-endian", "hfs", 14,
     [](unsigned char *m) { hfs(m, 0x44, 0x42, size_512_le); }},
    {"hfs BD with 512 little-endian", nullptr, 24,
     [](unsigned char *m) { hfs(m, 0x42, 0x44, size_512_le); }},
    {"hfs DB with 512 big-endian", nullptr, 24,
     [](unsigned char *m) { hfs(m, 0x44, 0x42, size_512_be); }},
    {"hfs BD with 4096-byte blocks", nullptr, 24,
     [](unsigned char *m) { hfs(m, 0x42, 0x44, size_4096_be); }},

    {"HFS wrapper around HFS+ stays hfs", "hfs", 14,
     [](unsigned char *m) {
         hfs(m, 0x42, 0x44, size_512_be);
         text(m, 1024 + 124, "H+");  // the embedded volume's signature
     }},

    // Zeros and 9 at 448 sum to 9.
    {"adfs, checksum by hand", "adfs", 15,
     [](unsigned char *m) {
         m[3072 + 448] = 9;
         m[3072 + 511] = 9;
     }},
    {"adfs, byte 0 outside the checksum", "adfs", 15,
     [](unsigned char *m) {
         m[3072] = 0x77;
         m[3072 + 448] = 9;
         m[3072 + 511] = 9;
     }},
    {"adfs, 256-byte sectors and data", "adfs", 15,
     [](unsigned char *m) {
         for (int i = 1; i < 511; i++)
             m[3072 + i] = (i * 37) & 0x7f;
         adfs(m, 8);  // the sum ends at 235
     }},
    {"adfs, 1024-byte sectors", "adfs", 15, [](unsigned char *m) { adfs(m, 10); }},
    {"adfs near miss: sector size 2^11", nullptr, 24, [](unsigned char *m) { adfs(m, 11); }},
    {"adfs near miss: sector size 2^7", nullptr, 24, [](unsigned char *m) { adfs(m, 7); }},
    {"adfs near miss: checksum off by one", nullptr, 24,
     [](unsigned char *m) {
         adfs(m, 9);
         m[3072 + 511] += 1;
     }},
    {"adfs near miss: sum above 255 matches only when masked", nullptr, 24,
     [](unsigned char *m) {
         memset(m + 3072 + 1, 0xff, 510);
         adfs(m, 9);  // the sum ends at 264, stored as 8
     }},

    {"ufs", "ufs", 16, [](unsigned char *m) { le32(m, 9564, 0x00011954); }},
    {"ufs swapped", "ufs", 16, [](unsigned char *m) { le32(m, 9564, 0x54190100); }},
    {"reiserfs 3.5", "reiserfs", 17, [](unsigned char *m) { text(m, 8244, "ReIsErFs"); }},
    {"reiserfs 3.6", "reiserfs", 17, [](unsigned char *m) { text(m, 8244, "ReIsEr2Fs"); }},
    {"reiserfs with a journal elsewhere", nullptr, 24,
     [](unsigned char *m) { text(m, 8244, "ReIsEr3Fs"); }},
    {"hpfs", "hpfs", 18, [](unsigned char *m) { le32(m, 8192, 0xF995E849); }},
    {"jfs", "jfs", 19, [](unsigned char *m) { text(m, 32768, "JFS1"); }},

    {"High Sierra with UDF behind it: no scan", "iso9660", 20,
     [](unsigned char *m) {
         text(m, 32777, "CDROM");
         descriptor(m, 1, 0, "BEA01");
         descriptor(m, 2, 0, "NSR02");
     }},
    {"ISO 9660, then data", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         text(m, 34816, "\x01\x02\x03\x04\x05\x06");
     }},
    {"ISO 9660, terminator, then data", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 1, 0xff, "CD001");
         text(m, 36864, "xxxxxxx");
     }},
    {"ISO 9660 and nothing behind it", "iso9660", 21,
     [](unsigned char *m) { descriptor(m, 0, 1, "CD001"); }},
    {"ISO 9660 bridge: BEA01, NSR02", "udf", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 1, 0, "BEA01");
         descriptor(m, 2, 0, "NSR02");
         descriptor(m, 3, 0, "TEA01");
     }},
    {"ISO 9660 bridge: terminator, BEA01, NSR03", "udf", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 1, 0xff, "CD001");
         descriptor(m, 2, 0, "BEA01");
         descriptor(m, 3, 0, "NSR03");
     }},
    {"ISO 9660 with BEA01, TEA01 but no NSR", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 1, 0, "BEA01");
         descriptor(m, 2, 0, "TEA01");
     }},
    {"ISO 9660 bridge, 4096-byte blocks", "udf", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 2, 0, "BEA01");
         descriptor(m, 3, 0, "junk!");  // between the slots of 4096-byte blocks
         descriptor(m, 4, 0, "NSR02");
     }},
    {"ISO 9660 bridge, first descriptor in slot 15", "udf", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 15, 0, "BEA01");
         descriptor(m, 30, 0, "NSR02");
     }},
    {"ISO 9660, first descriptor in slot 16: beyond the search", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 16, 0, "BEA01");
         descriptor(m, 32, 0, "NSR02");
     }},
    {"ISO 9660 bridge, NSR02 as the 63rd descriptor", "udf", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         for (int j = 1; j < 63; j++)
             descriptor(m, j, 0, "BOOT2");
         descriptor(m, 63, 0, "NSR02");
     }},
    {"ISO 9660, NSR02 as the 64th descriptor: beyond the walk", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         for (int j = 1; j < 64; j++)
             descriptor(m, j, 0, "CDW02");
         descriptor(m, 64, 0, "NSR02");
     }},

    {"UDF: BEA01 first", "udf", 22,
     [](unsigned char *m) {
         descriptor(m, 0, 0, "BEA01");
         descriptor(m, 1, 0, "NSR02");
     }},
    {"UDF: BOOT2 first", "udf", 22, [](unsigned char *m) { descriptor(m, 0, 0, "BOOT2"); }},
    {"UDF: CDW02 first", "udf", 22, [](unsigned char *m) { descriptor(m, 0, 0, "CDW02"); }},
    {"UDF: NSR02 first", "udf", 22, [](unsigned char *m) { descriptor(m, 0, 0, "NSR02"); }},
    {"UDF: NSR03 first", "udf", 22, [](unsigned char *m) { descriptor(m, 0, 0, "NSR03"); }},
    {"UDF: TEA01 first", "udf", 22, [](unsigned char *m) { descriptor(m, 0, 0, "TEA01"); }},
    {"UDF near miss: BEA02", nullptr, 24, [](unsigned char *m) { descriptor(m, 0, 0, "BEA02"); }},

    {"reiserfs 3.5 at 64 KiB", "reiserfs", 23, [](unsigned char *m) { text(m, 65588, "ReIsErFs"); }},
    {"reiserfs 3.6 at 64 KiB", "reiserfs", 23,
     [](unsigned char *m) { text(m, 65588, "ReIsEr2Fs"); }},

    {"swap, SWAPSPACE2 in a 4096-byte page", "swap", 24,
     [](unsigned char *m) { swap_at(m, 4096, "SWAPSPACE2"); }},
    {"swap, SWAP-SPACE in a 4096-byte page", "swap", 24,
     [](unsigned char *m) { swap_at(m, 4096, "SWAP-SPACE"); }},
    {"swap, SWAP-SPACE in an 8192-byte page", "swap", 24,
     [](unsigned char *m) { swap_at(m, 8192, "SWAP-SPACE"); }},
    {"swap, SWAPSPACE2 in an 8192-byte page", "swap", 24,
     [](unsigned char *m) { swap_at(m, 8192, "SWAPSPACE2"); }},
    {"swap near miss: a byte before the page end", nullptr, 24,
     [](unsigned char *m) { swap_at(m, 4095, "SWAPSPACE2"); }},
    {"swap near miss: SWAPSPACE3", nullptr, 24,
     [](unsigned char *m) { swap_at(m, 4096, "SWAPSPACE3"); }},

    {"exfat", "exfat", 25, [](unsigned char *m) { text(m, 3, "EXFAT   "); }},
    {"exfat near miss: last blank", nullptr, 24, [](unsigned char *m) { text(m, 3, "EXFAT  _"); }},
    {"hfsplus", "hfsplus", 26, [](unsigned char *m) { put_hfsplus_header(m, "H+", 4); }},
    {"hfsplus, HFSX", "hfsplus", 26, [](unsigned char *m) { put_hfsplus_header(m, "HX", 5); }},
    {"hfsplus near miss: H*", nullptr, 24, [](unsigned char *m) { put_hfsplus_header(m, "H*", 4); }},
    {"hfsplus near miss: +H, little-endian", nullptr, 24,
     [](unsigned char *m) { put_hfsplus_header(m, "+H", 4); }},
    {"f2fs", "f2fs", 27, [](unsigned char *m) { le32(m, 1024, 0xF2F52010); }},
    {"f2fs near miss", nullptr, 24, [](unsigned char *m) { le32(m, 1024, 0xF2F52011); }},
    {"squashfs", "squashfs", 28, [](unsigned char *m) { text(m, 0, "hsqs"); }},
    {"squashfs near miss", nullptr, 24, [](unsigned char *m) { text(m, 0, "hsqt"); }},
    {"LUKS1", "crypto_LUKS", 29, [](unsigned char *m) { text(m, 0, "LUKS\xBA\xBE\x00\x01"); }},
    {"LUKS2", "crypto_LUKS", 29, [](unsigned char *m) { text(m, 0, "LUKS\xBA\xBE\x00\x02"); }},
    {"LUKS near miss: sixth byte", nullptr, 24, [](unsigned char *m) { text(m, 0, "LUKS\xBA\xBF"); }},
    {"btrfs", "btrfs", 30, [](unsigned char *m) { text(m, 65600, "_BHRfS_M"); }},
    {"btrfs near miss", nullptr, 24, [](unsigned char *m) { text(m, 65600, "_BHRfS_m"); }},

    {"first match wins: xiafs over ext2", "xiafs", 1,
     [](unsigned char *m) {
         le32(m, 572, 0x012FD16D);
         ext(m, 0xEF53, 0, 0);
     }},
    {"first match wins: vfat over ext3", "vfat", 8,
     [](unsigned char *m) {
         fat(m, "mkfs.fat", "FAT16   ");
         ext(m, 0xEF53, 0x04, 8);
     }},
    {"first match wins: ext2 over swap and reiserfs", "ext2", 10,
     [](unsigned char *m) {
         ext(m, 0xEF53, 0, 0);
         swap_at(m, 4096, "SWAPSPACE2");
         text(m, 65588, "ReIsEr2Fs");
     }},
    {"first match wins: jfs over reiserfs at 64 KiB", "jfs", 19,
     [](unsigned char *m) {
         text(m, 32768, "JFS1");
         text(m, 65588, "ReIsErFs");
     }},
    {"first match wins: swap over exfat", "swap", 24,
     [](unsigned char *m) {
         swap_at(m, 4096, "SWAPSPACE2");
         text(m, 3, "EXFAT   ");
     }},
    {"first match wins: reiserfs at 64 KiB over btrfs", "reiserfs", 23,
     [](unsigned char *m) {
         text(m, 65588, "ReIsErFs");
         text(m, 65600, "_BHRfS_M");
     }},
    {"first match wins: f2fs over squashfs", "f2fs", 27,
     [](unsigned char *m) {
         le32(m, 1024, 0xF2F52010);
         text(m, 0, "hsqs");
     }},
    {"first match wins: LUKS over btrfs", "crypto_LUKS", 29,
     [](unsigned char *m) {
         text(m, 0, "LUKS\xBA\xBE");
         text(m, 65600, "_BHRfS_M");
     }},
    {"zeros", nullptr, 24, [](unsigned char *) {}},

    // Names that claim more than their fields hold, or lead astray.
    {"exfat label claiming 200 units of its 11", "exfat", 25,
     [](unsigned char *m) { exfat(m, 200, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'}); },
     "ABCDEFGHIJK"},
    {"exfat label with unpaired surrogates", "exfat", 25,
     [](unsigned char *m) { exfat(m, 4, {'A', 0xD800, 'B', 0xDC00}); }, "A\uFFFDB\uFFFD"},
    {"exfat root directory chain that loops", "exfat", 25,
     [](unsigned char *m) {
         exfat(m, 0, {});
         for (int i = 0; i < 16; i++)
             m[17408 + 32 * i] = 0x85;
         le32(m, 12288 + 16, 4);
     },
     ""},
    {"ntfs name of odd length", "ntfs", 6, [](unsigned char *m) { ntfs(m, 64, 5); }, "AB"},
    {"ntfs name longer than its attribute", "ntfs", 6, [](unsigned char *m) { ntfs(m, 64, 17); },
     ""},
    {"ntfs name record outside the device", "ntfs", 6,
     [](unsigned char *m) { ntfs(m, 0x7FFFFFFF, 6); }, ""},
    {"FAT32 root directory chain that loops", "vfat", 8,
     [](unsigned char *m) {
         fat(m, "mkfs.fat", "FAT32   ");
         le16(m, 11, 512), m[13] = 1, le16(m, 14, 32), m[16] = 2;
         le32(m, 32, 384), le32(m, 36, 1), le32(m, 44, 2);
         le32(m, 16384 + 8, 2);
         for (int i = 0; i < 16; i++)
             text(m, 17408 + 32 * i, "FILE    TXT ");
     },
     ""},
    {"Joliet name with an unpaired surrogate", "iso9660", 21,
     [](unsigned char *m) {
         descriptor(m, 0, 1, "CD001");
         descriptor(m, 1, 2, "CD001");
         text(m, 34816 + 88, "%/@");
         m[34816 + 40] = 0xD8, m[34816 + 43] = 'A';
     },
     "\uFFFDA"},
    {"UDF name claiming more than its field", "udf", 22,
     [](unsigned char *m) {
         descriptor(m, 0, 0, "BEA01");
         le16(m, 131072, 2), le32(m, 131072 + 12, 256);  // anchor
         le32(m, 131072 + 16, 2048), le32(m, 131072 + 20, 300);
         le16(m, 153600, 6);  // logical volume descriptor
         text(m, 153600 + 84, "\x08" "ABC");
         m[153600 + 84 + 127] = 255;
     },
     "ABC"},
};

const size_t signature_image_count = sizeof signature_images / sizeof signature_images[0];

void put_hfsplus_header(unsigned char *image, const char *signature, int version) {
    unsigned char *header = image + 1024;
    memcpy(header, signature, 2);
    header[3] = version;    // big-endian, as every number of HFS+
    header[40 + 2] = 0x10;  // block size 4096
}

std::vector<unsigned char> signature_image_bytes(const signature_image &sample) {
    std::vector<unsigned char> image(signature_image_size);
    sample.fill(image.data());
    return image;
}

size_t table_read_end(int test) {
    // Offset and length of the read of each test that reads (test number, end).
    static const struct {
        int test;
        size_t end;
    } reads[] = {{1, 0 + 576},      {9, 512 + 512},     {10, 1024 + 228}, {14, 1024 + 24},
                 {15, 3072 + 512},  {16, 8192 + 1376},  {17, 8192 + 64},  {18, 8192 + 8},
                 {19, 32768 + 112}, {20, 32768 + 2048}, {23, 65536 + 64}, {24, 0 + 32768},
                 {30, 65600 + 64}};
    size_t end = 0;
    for (const auto &r : reads) {
        if (r.test <= test)
            end = std::max(end, r.end);
    }
    return end;
}

bool write_image(const std::string &path, const std::vector<unsigned char> &image) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(image.data(), 1, image.size(), f) == image.size();
    return fclose(f) == 0 && ok;
}
