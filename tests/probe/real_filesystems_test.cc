// Filesystems made by the real mkfs tools: probed through the descriptor
// routine on the image file, and through the program on a loop device, next
// to what `blkid -p` says of the same device.

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "mount_guess_fstype.h"
#include "partition_table.h"
#include "probe_testkit.h"

namespace {

class RealFilesystem : public testing::TestWithParam<real_filesystem> {};

std::string shown(const char *type) {
    return type ? type : "(nothing)";
}

const char *const keys[] = {"TYPE", "USAGE", "LABEL", "UUID", "VERSION"};

// What a POSIX shell sets from the assignments: only the keys it sets.
std::map<std::string, std::string> read_back(const std::string &assignments) {
    program_result r = run_program({"sh", "-c", R"(eval "$1" || exit 1
for k in TYPE USAGE LABEL UUID VERSION; do
    eval "set=\${$k+x} value=\${$k-}"
    [ -n "$set" ] && printf '%s=%s\0' "$k" "$value"
done
exit 0)",
                                    "sh", assignments});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> values;
    for (size_t at = 0, end; (end = r.out.find('\0', at)) != std::string::npos; at = end + 1) {
        std::string pair = r.out.substr(at, end - at);
        values[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    }
    return values;
}

// blkid's KEY=value lines with their escapes undone. The export form puts
// a backslash before the shell's characters, but shows bytes above ASCII as
// cat -v does ("M-CM-)" is no shell word, so no shell reads it); the udev
// form, keyed here by the KEY of ID_FS_KEY_ENC, writes \xHH for the unsafe
// bytes and cuts long values short.
std::map<std::string, std::string> blkid_values(const std::string &device, bool udev) {
    std::map<std::string, std::string> values;
    std::istringstream lines(
        run_program({"blkid", "-p", "-o", udev ? "udev" : "export", device}).out);
    for (std::string line; std::getline(lines, line);) {
        std::string key = line.substr(0, line.find('=')), value;
        if (udev && (key.compare(0, 6, "ID_FS_") != 0 || key.size() < 10 ||
                     key.compare(key.size() - 4, 4, "_ENC") != 0))
            continue;
        for (size_t i = key.size() + 1; i < line.size(); i++) {
            if (line[i] == '\\' && udev)
                value += char(std::stoi(line.substr(i + 2, 2), nullptr, 16)), i += 3;
            else
                value += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
        }
        values[udev ? key.substr(6, key.size() - 10) : key] = value;
    }
    return values;
}

// blkid -o export shows bytes as cat -v does.
std::string cat_v(const std::string &value) {
    std::string out;
    for (unsigned char c : value) {
        if (c >= 0x80) {
            out += "M-";
            c &= 0x7F;
        }
        if (c < 0x20 || c == 0x7F) {
            out += '^';
            c ^= 0x40;
        }
        out += char(c);
    }
    return out;
}

// pyxo_dev --export against blkid -p on the same device, key by key, each
// output read back by a shell.
void expect_export_like_blkid(const real_filesystem &fs, const std::string &device) {
    program_result r = run_program({PYXO_DEV, "--export", device});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> ours = read_back(r.out);
    std::map<std::string, std::string> blkid = blkid_values(device, false);
    std::map<std::string, std::string> udev = blkid_values(device, true);
    for (const char *key : keys) {
        SCOPED_TRACE(key);
        bool label = std::string(key) == "LABEL";
        if (label && fs.why_label_differs) {
            std::cout << "LABEL as made, where blkid differs: " << fs.why_label_differs << "\n";
            EXPECT_EQ(ours[key], fs.label);
            continue;
        }
        EXPECT_EQ(ours.count(key), blkid.count(key)) << ours[key];
        EXPECT_EQ(cat_v(ours[key]), blkid[key]);
        if (udev.count(key)) {
            EXPECT_EQ(ours[key].compare(0, udev[key].size(), udev[key]), 0) << udev[key];
        }
    }
}

TEST_P(RealFilesystem, IsRecognised) {
    const real_filesystem &fs = GetParam();
    temp_dir dir;
    std::string why;
    std::string image = make_real_image(fs, dir.path, &why);
    ASSERT_FALSE(image.empty()) << why;
    if (std::string(fs.name).rfind("vfat", 0) == 0) {
        // Found only through the OEM name that today's dosfstools writes.
        std::ifstream f(image, std::ios::binary);
        char oem[8] = {};
        f.seekg(3);
        f.read(oem, sizeof oem);
        EXPECT_EQ(std::string(oem, sizeof oem), "mkfs.fat");
    }

    int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    const char *type = do_guess_fstype_fd(fd, image.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    close(fd);
    EXPECT_EQ(shown(type), shown(fs.pyxo_type));

    std::string no_loop = loop_devices_unavailable();
    if (!no_loop.empty())
        GTEST_SKIP() << "the image file passed; the device run needs loop devices: " << no_loop;
    loop_device dev(image);
    ASSERT_TRUE(dev.attached()) << dev.error();

    program_result r = run_program({PYXO_DEV, dev.path()});
    if (fs.pyxo_type) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("device type : ") + fs.pyxo_type + "\n");
    } else {
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(r.err, "");

    program_result blkid = run_program({"blkid", "-p", "-o", "value", "-s", "TYPE", dev.path()});
    EXPECT_EQ(blkid.out, std::string(fs.blkid_type) + "\n");
    if (fs.why_differs)
        std::cout << "blkid says " << fs.blkid_type << ", pyxo_dev " << shown(fs.pyxo_type) << ": "
                  << fs.why_differs << "\n";
    else
        expect_export_like_blkid(fs, dev.path());
}

// Tables written by sfdisk (a GPT also with its primary header or entries
// damaged, then both headers), read from the image as blkid reads the
// table and partx (libblkid's partition list) its entries.
TEST(PartitionTable, ReadAsBlkidReadsIt) {
    const std::string gpt =
                          "label: gpt\nlabel-id: 01234567-89AB-CDEF-0123-456789ABCDEF\nstart="
                          "2048, size=2048, uuid=11111111-2222-3333-4444-555555555555, name="
                          "\"it's a b  \"\nx3 : start=4096, size=2048, name=\"36 units long: "
                          "the longest a GPT has\"\n",
                      dos =
                          "label: dos\nlabel-id: 0xa1b2c3d4\nstart=2048, size=2048, type=83\n"
                          "start=4096, size=8192, type=5\nstart=6144, size=1024, type=c\n"
                          "size=1024, type=83\n";
    const std::pair<std::string, std::vector<off_t>> cases[] = {
        {gpt, {}},
        {gpt, {528}},
        {gpt, {1030}},
        {gpt, {528, -496}},
        {dos, {}},
        {"", {}},
        {"label: dos\nlabel-id: 0x0\nstart=2048, size=2048, type=83\n", {}}};
    temp_dir dir;
    for (const auto &[script, damaged] : cases) {
        SCOPED_TRACE(script + " damaged at " + std::to_string(damaged.size()) + " places");
        std::string image = dir / "disk.img";
        spawn_options o;
        o.in_file = dir / "script";
        ASSERT_TRUE(write_file(image, std::string(8 << 20, '\0')) && write_file(o.in_file, script));
        ASSERT_TRUE(script.empty() || run_program({"sfdisk", "-q", image}, o).status == 0);
        int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
        for (off_t at : damaged)
            ASSERT_EQ(pwrite(fd, "X", 1, at < 0 ? (8 << 20) + at : at), 1);
        partition_table table;
        int found = partition_table_read_fd(fd, &table);
        EXPECT_EQ(found, table.type != nullptr);
        close(fd);
        std::map<std::string, std::string> blkid = blkid_values(image, false);
        // With both GPT headers damaged blkid names the protective MBR alone.
        EXPECT_EQ(table.type ? table.type : "", blkid["PTTYPE"] == "PMBR" ? "" : blkid["PTTYPE"]);
        EXPECT_EQ(table.uuid, blkid["PTUUID"]);
        std::string ours;
        for (const partition_entry &e : table.entries)
            ours += "NR=\"" + std::to_string(e.number) + "\" UUID=\"" + e.uuid + "\" NAME=\"" +
                    e.name + "\"\n";
        EXPECT_EQ(ours, run_program({"partx", "-g", "-P", "-o", "NR,UUID,NAME", image}).out);
    }
}

INSTANTIATE_TEST_SUITE_P(MadeByTools, RealFilesystem, testing::ValuesIn(real_filesystems),
                         [](const testing::TestParamInfo<real_filesystem> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

}  // namespace
