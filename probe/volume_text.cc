// Text and number forms shared by the formats' readers.

#include <stdio.h>
#include <string.h>

#include "volume_parse.h"

void text_trim_end(std::string *s) {
    size_t end = s->size();
    while (end > 0 && ((*s)[end - 1] == ' ' || ((*s)[end - 1] >= '\t' && (*s)[end - 1] <= '\r')))
        end--;
    s->resize(end);
}

std::string text_bytes(const unsigned char *p, size_t field) {
    std::string s(reinterpret_cast<const char *>(p),
                  strnlen(reinterpret_cast<const char *>(p), field));
    text_trim_end(&s);
    return s;
}

void text_put_utf8(std::string *out, uint32_t code) {
    if (code < 0x80) {
        out->push_back(char(code));
    } else if (code < 0x800) {
        out->push_back(char(0xC0 | code >> 6));
        out->push_back(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(char(0xE0 | code >> 12));
        out->push_back(char(0x80 | (code >> 6 & 0x3F)));
        out->push_back(char(0x80 | (code & 0x3F)));
    } else {
        out->push_back(char(0xF0 | code >> 18));
        out->push_back(char(0x80 | (code >> 12 & 0x3F)));
        out->push_back(char(0x80 | (code >> 6 & 0x3F)));
        out->push_back(char(0x80 | (code & 0x3F)));
    }
}

std::string text_utf16(const unsigned char *p, size_t bytes, bool big_endian) {
    std::string out;
    size_t units = bytes / 2;
    auto unit = [&](size_t i) { return big_endian ? get_be16(p + 2 * i) : get_le16(p + 2 * i); };
    for (size_t i = 0; i < units; i++) {
        uint32_t u = unit(i);
        if (u == 0)
            break;
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low < 0xE000) {
                text_put_utf8(&out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i++;
                continue;
            }
        }
        // A surrogate without its partner names no character.
        text_put_utf8(&out, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
    }
    text_trim_end(&out);
    return out;
}

std::string text_uuid(const unsigned char *p) {
    static const unsigned char zero[16] = {};
    if (memcmp(p, zero, 16) == 0)
        return "";
    char s[37];
    snprintf(s, sizeof s, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13],
             p[14], p[15]);
    return s;
}

std::string text_serial(const unsigned char *p, size_t bytes, size_t dash_at) {
    std::string s;
    bool any = false;
    for (size_t i = bytes; i-- > 0;) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", p[i]);
        s += hex;
        if (dash_at != 0 && i == dash_at)
            s += '-';
        any = any || p[i] != 0;
    }
    return any ? s : "";
}

std::string text_version(unsigned major, unsigned minor) {
    char s[24];
    snprintf(s, sizeof s, "%u.%u", major, minor);
    return s;
}
