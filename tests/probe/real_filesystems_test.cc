// Filesystems made by the real mkfs tools: probed through the descriptor
// routine on the image file, and through the program on a loop device, next
// to what `blkid -p` says of the same device.

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "mount_guess_fstype.h"
#include "probe_testkit.h"

namespace {

class RealFilesystem : public testing::TestWithParam<real_filesystem> {};

std::string shown(const char *type) {
    return type ? type : "(nothing)";
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
