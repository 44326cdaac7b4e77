#include <gtest/gtest.h>

#include <string>

#include "pyxod.h"

struct line_case {
    const char *line;
    scan_line_kind kind;
    const char *value;
};

TEST(ScanClassifyLine, PatternsDecideInTheirOrder) {
    scan_compile_patterns();
    const line_case cases[] = {
        {"   Host scsi2: usb-storage\n", SCAN_LINE_HOST, "2"},
        {"Host   scsi12:usb-storage\n", SCAN_LINE_HOST, "12"},
        {"host SCSI3: USB-STORAGE\n", SCAN_LINE_HOST, "3"},
        {"xHost scsi4: usb-storage-ish\n", SCAN_LINE_HOST, "4"},  // not anchored
        {"Host scsi0: ide-scsi\n", SCAN_LINE_NONE, ""},
        {"Host: scsi0 Channel: 00 Id: 00 Lun: 00\n", SCAN_LINE_NONE, ""},
        {"         GUID: 0a1B2c\n", SCAN_LINE_GUID, "0a1B2c"},
        {"guid: ff \t \n", SCAN_LINE_GUID, "ff"},
        {"GUID: ff", SCAN_LINE_GUID, "ff"},  // no line break
        {"\tGUID: ff\n", SCAN_LINE_NONE, ""},
        {"GUID:ff\n", SCAN_LINE_NONE, ""},
        {"GUID: ff x\n", SCAN_LINE_NONE, ""},
        {"GUID: fg\n", SCAN_LINE_NONE, ""},
        {"GUID: \n", SCAN_LINE_NONE, ""},
        {"     Attached: Yes\n", SCAN_LINE_STATUS, "Yes"},
        {"attached:   no\n", SCAN_LINE_STATUS, "no"},
        {"Attached: Nonsense\n", SCAN_LINE_STATUS, "No"},
        {"Attached: maybe\n", SCAN_LINE_NONE, ""},
        // The host pattern is tried first, and wins.
        {"Host scsi5: usb-storage Attached: Yes\n", SCAN_LINE_HOST, "5"},
        {"", SCAN_LINE_NONE, ""},
    };
    for (const auto &c : cases) {
        regmatch_t value = {-1, -1};
        EXPECT_EQ(scan_classify_line(c.line, &value), c.kind) << c.line;
        if (c.kind != SCAN_LINE_NONE) {
            EXPECT_EQ(std::string(c.line + value.rm_so, value.rm_eo - value.rm_so), c.value)
                << c.line;
        }
    }
}
