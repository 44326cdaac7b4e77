// One host-file line against the scanner's three patterns: whatever the
// bytes, a match must name a value inside the line of the kind its pattern
// promises.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "pyxod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool compiled = false;
    if (!compiled) {
        scan_compile_patterns();
        compiled = true;
    }
    std::string line((const char *)data, size);  // the line ends at a NUL, as in getline's buffer
    regmatch_t value;
    scan_line_kind kind = scan_classify_line(line.c_str(), &value);
    if (kind == SCAN_LINE_NONE)
        return 0;
    size_t len = strlen(line.c_str());
    if (value.rm_so < 0 || value.rm_eo <= value.rm_so || (size_t)value.rm_eo > len)
        abort();
    std::string text = line.substr(value.rm_so, value.rm_eo - value.rm_so);
    for (char c : text) {
        if (kind == SCAN_LINE_HOST && !g_ascii_isdigit(c))
            abort();
        if (kind == SCAN_LINE_GUID && !g_ascii_isxdigit(c))
            abort();
    }
    if (kind == SCAN_LINE_STATUS && g_ascii_strcasecmp(text.c_str(), "yes") != 0 &&
        g_ascii_strcasecmp(text.c_str(), "no") != 0)
        abort();
    return 0;
}
