// ISO 9660 and UDF: names from the volume descriptors.

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "volume_parse.h"

namespace {

const uint64_t iso_descriptors = 32768;
const size_t iso_block = 2048;
// Descriptor sets are short; a longer run is no volume anyone made.
const int max_descriptors = 64;

bool is_joliet(const unsigned char *d) {
    return d[0] == 2 && d[88] == '%' && d[89] == '/' &&
           (d[90] == '@' || d[90] == 'C' || d[90] == 'E');
}

// Joliet keeps 16 UTF-16 characters of a name the primary descriptor keeps
// 32 bytes of. blkid takes the Joliet name, and where it is the primary name
// cut short takes the rest from there: each of the 16 characters must be the
// same in both, the same letter in another case (the small one wins), or a
// '_' on one side (which stands for what one side could not hold; the other
// side wins). The primary name's bytes count as Latin-1.
std::string joliet_label(const unsigned char *primary, const unsigned char *joliet) {
    unsigned char units[64];
    bool same = true;
    for (int i = 0; i < 16 && same; i++) {
        uint32_t j = get_be16(joliet + 2 * i), p = primary[i], chosen = j;
        if (j == '_')
            chosen = p;
        else if (j != p && p != '_') {
            same = j < 128 && isalpha(int(j)) && tolower(int(j)) == tolower(int(p));
            chosen = islower(int(j)) ? j : p;
        }
        units[2 * i] = uint8_t(chosen >> 8);
        units[2 * i + 1] = uint8_t(chosen);
    }
    if (!same)
        return text_utf16(joliet, 32, true);
    for (int i = 16; i < 32; i++) {
        units[2 * i] = 0;
        units[2 * i + 1] = primary[i];
    }
    return text_utf16(units, sizeof units, true);
}

// The volume's UUID is its modification date, or its creation date when that
// is unset: 16 digits and a time zone, shown as YYYY-MM-DD-HH-MM-SS-CC.
std::string iso_date_uuid(const unsigned char *pvd) {
    auto unset = [](const unsigned char *d) {
        return memcmp(d, "0000000000000000", 16) == 0 && d[16] == 0;
    };
    const unsigned char *d = !unset(pvd + 830)   ? pvd + 830
                             : !unset(pvd + 813) ? pvd + 813
                                                 : nullptr;
    if (d == nullptr)
        return "";
    std::string s;
    const int parts[] = {4, 2, 2, 2, 2, 2, 2};
    for (int part : parts) {
        if (!s.empty())
            s += '-';
        s.append(reinterpret_cast<const char *>(d), part);
        d += part;
    }
    // Like the C string blkid makes of it, the text ends at a zero byte.
    return s.substr(0, s.find('\0'));
}

// An OSTA compressed Unicode d-string of `field` bytes: a compression id
// (8: Latin-1 bytes, 16: UTF-16 big-endian), the characters, and in the last
// byte the count of bytes used, the id included.
std::string dstring(const unsigned char *p, size_t field) {
    size_t used = p[field - 1] < field - 1 ? p[field - 1] : field - 1;
    if (used < 2)
        return "";
    if (p[0] == 16 || p[0] == 255)
        return text_utf16(p + 1, used - 1, true);
    if (p[0] != 8 && p[0] != 254)
        return "";
    unsigned char units[254];
    for (size_t i = 0; i + 1 < used; i++) {
        units[2 * i] = 0;
        units[2 * i + 1] = p[1 + i];
    }
    return text_utf16(units, 2 * (used - 1), true);
}

bool is_hex(const std::string &s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (!isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

std::string lower_hex_of(const std::string &s, size_t from, size_t n) {
    std::string out;
    for (size_t i = from; i < from + n; i++) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(s[i]));
        out += hex;
    }
    return out;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = char(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The rule udftools, util-linux and grub share for the UUID of a UDF volume,
// from the first 16 bytes of the volume set identifier in UTF-8.
std::string udf_uuid(const std::string &set_id) {
    size_t characters = 0;
    for (char c : set_id)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < 8)
        return "";
    // A shorter identifier counts as padded with zero bytes.
    std::string head = set_id.substr(0, 16);
    head.resize(16, '\0');
    if (is_hex(head, head.size()))
        return lower(head);
    if (!is_hex(head, 8))
        return lower_hex_of(head, 0, 8);
    return lower(head.substr(0, 8)) + lower_hex_of(head, 8, 4);
}

}  // namespace

void volume_iso9660(const volume_source &src, volume_info *info) {
    unsigned char pvd[881];
    if (!volume_fetch(src, iso_descriptors, pvd, sizeof pvd))
        return;
    // High Sierra, ISO 9660's forerunner, has its name at 48 and no dates blkid uses.
    if (memcmp(pvd + 9, "CDROM", 5) == 0) {
        info->version = "High Sierra";
        info->label = text_bytes(pvd + 48, 32);
        return;
    }
    bool have_primary = pvd[0] == 1;
    unsigned char joliet[92];
    bool have_joliet = false;
    for (int i = 1; i < max_descriptors && !(have_primary && have_joliet); i++) {
        uint64_t at = iso_descriptors + iso_block * uint64_t(i);
        unsigned char d[sizeof joliet];
        if (!volume_fetch(src, at, d, sizeof d) || memcmp(d + 1, "CD001", 5) != 0 || d[0] == 255)
            break;
        if (d[0] == 1 && !have_primary)
            have_primary = volume_fetch(src, at, pvd, sizeof pvd);
        if (is_joliet(d) && !have_joliet) {
            memcpy(joliet, d, sizeof joliet);
            have_joliet = true;
        }
    }
    if (!have_primary)
        return;
    info->uuid = iso_date_uuid(pvd);
    if (have_joliet) {
        info->version = "Joliet Extension";
        info->label = joliet_label(pvd + 40, joliet + 40);
    } else {
        info->label = text_bytes(pvd + 40, 32);
    }
}

void volume_udf(const volume_source &src, volume_info *info) {
    // The anchor sits at block 256 and names its own block: that tells the
    // block size.
    uint64_t block = 0;
    unsigned char anchor[32];
    for (uint64_t size : {512, 1024, 2048, 4096}) {
        if (volume_fetch(src, 256 * size, anchor, sizeof anchor) && get_le16(anchor) == 2 &&
            get_le32(anchor + 12) == 256) {
            block = size;
            break;
        }
    }
    if (block == 0)
        return;

    // The main descriptor sequence, or its reserve copy when the main one
    // holds neither descriptor.
    std::string set_id;
    bool have_primary = false, have_logical = false;
    unsigned revision = 0;
    uint64_t integrity = 0, integrity_length = 0;
    for (int copy = 0; copy < 2 && !have_primary && !have_logical; copy++) {
        uint64_t length = get_le32(anchor + 16 + 8 * copy),
                 first = get_le32(anchor + 20 + 8 * copy);
        for (uint64_t i = 0; i < length / block && i < max_descriptors; i++) {
            unsigned char d[440];
            if (!volume_fetch(src, (first + i) * block, d, sizeof d))
                break;
            unsigned tag = get_le16(d);
            if (tag == 0 || tag == 8)
                break;
            if (tag == 1 && !have_primary) {
                set_id = dstring(d + 72, 128);
                have_primary = true;
            } else if (tag == 6 && !have_logical) {
                info->label = dstring(d + 84, 128);
                if (memcmp(d + 217, "*OSTA UDF Compliant", 19) == 0)
                    revision = get_le16(d + 240);
                integrity_length = get_le32(d + 432);
                integrity = get_le32(d + 436);
                have_logical = true;
            }
        }
    }
    info->uuid = udf_uuid(set_id);

    // The integrity descriptor names the least revision a reader and a
    // writer need; the greatest of the three revisions is the volume's.
    unsigned char lvid[80], use[46];
    if (integrity_length >= sizeof lvid &&
        volume_fetch(src, integrity * block, lvid, sizeof lvid) && get_le16(lvid) == 9) {
        uint64_t use_at = 80 + 8 * uint64_t(get_le32(lvid + 72));
        if (get_le32(lvid + 76) >= sizeof use && use_at + sizeof use <= block &&
            volume_fetch(src, integrity * block + use_at, use, sizeof use)) {
            revision =
                std::max({revision, unsigned(get_le16(use + 40)), unsigned(get_le16(use + 42))});
        }
    }
    if (revision != 0) {
        char v[16];
        snprintf(v, sizeof v, "%x.%02x", revision >> 8, revision & 0xFF);
        info->version = v;
    }
}
