#include "mount_guess_fstype.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "signature_images.h"
#include "volume_info.h"

namespace {

const std::string fixed_message = "mount: error while guessing filesystem type\n";

std::string shown(const char *type) {
    return type ? type : "(nothing)";
}

// An image in memory behind a descriptor, closed at the end of the scope.
struct image_fd {
    int fd = -1;
    explicit image_fd(const std::vector<unsigned char> &image) {
        fd = memfd_create("image", MFD_CLOEXEC);
        if (fd >= 0 && write(fd, image.data(), image.size()) != ssize_t(image.size())) {
            close(fd);
            fd = -1;
        }
    }
    ~image_fd() {
        if (fd >= 0)
            close(fd);
    }
};

struct probe_result {
    std::string type;
    std::string err;
};

probe_result probe(const std::vector<unsigned char> &image) {
    image_fd f(image);
    EXPECT_GE(f.fd, 0);
    testing::internal::CaptureStderr();
    const char *type = do_guess_fstype_fd(f.fd, "image");
    std::string err = testing::internal::GetCapturedStderr();
    // The descriptor belongs to the caller and stays open.
    EXPECT_NE(fcntl(f.fd, F_GETFD), -1);
    return {shown(type), err};
}

TEST(GuessFstype, EveryRowOfTheTable) {
    for (size_t i = 0; i < signature_image_count; i++) {
        const signature_image &sample = signature_images[i];
        SCOPED_TRACE(sample.name);
        probe_result r = probe(signature_image_bytes(sample));
        EXPECT_EQ(r.type, shown(sample.expected));
        EXPECT_EQ(r.err, "");
    }
}

// Every row gives its type through volume_info too; the rows of names that
// claim too much, or lead outside the device or round in circles, give a
// bounded name (under AddressSanitizer: without reading beyond their fields).
TEST(GuessFstype, VolumeInfoOfEveryRow) {
    for (size_t i = 0; i < signature_image_count; i++) {
        const signature_image &sample = signature_images[i];
        SCOPED_TRACE(sample.name);
        image_fd f(signature_image_bytes(sample));
        volume_info info;
        EXPECT_EQ(volume_info_read_fd(f.fd, "image", &info), sample.expected != nullptr);
        EXPECT_EQ(shown(info.type), shown(sample.expected));
        if (sample.label) {
            EXPECT_EQ(info.label, sample.label);
        }
    }
}

// Each test reads its region whole or the probe stops: an image that ends
// exactly where the deciding test's reads end is enough, one byte less is not.
// So a row that matches nothing is also a device of 65600 bytes with nothing
// on it: every read of the table succeeds, and the Btrfs read finds no room.
TEST(GuessFstype, ReadsExactlyTheRegionsOfTheTable) {
    for (size_t i = 0; i < signature_image_count; i++) {
        const signature_image &sample = signature_images[i];
        SCOPED_TRACE(sample.name);
        std::vector<unsigned char> image = signature_image_bytes(sample);
        size_t end = table_read_end(sample.decided_by);

        image.resize(end);
        probe_result whole = probe(image);
        // The UDF scan reads behind the ISO 9660 descriptor; when that fails
        // the volume is plain ISO 9660, and no failure is reported.
        bool udf_scan = sample.decided_by == 21 && shown(sample.expected) == "udf";
        EXPECT_EQ(whole.type, udf_scan ? "iso9660" : shown(sample.expected));
        EXPECT_EQ(whole.err, "");

        image.resize(end - 1);
        probe_result short_by_one = probe(image);
        EXPECT_EQ(short_by_one.type, "(nothing)");
        // The Btrfs read comes after every read of the table succeeded: a
        // device too short for it carries no Btrfs, and that is no failure.
        EXPECT_EQ(short_by_one.err, sample.decided_by == 30 ? "" : fixed_message);
    }
}

TEST(GuessFstype, EmptyDeviceFailsAtTheFirstRead) {
    probe_result r = probe({});
    EXPECT_EQ(r.type, "(nothing)");
    EXPECT_EQ(r.err, fixed_message);
}

TEST(GuessFstype, FailedCallIsReportedInThePerrorForm) {
    // A pipe cannot seek: lseek fails with ESPIPE.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    testing::internal::CaptureStderr();
    const char *type = do_guess_fstype_fd(p[0], "/dev/sdz");
    std::string err = testing::internal::GetCapturedStderr();
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(type, nullptr);
    EXPECT_EQ(err, "/dev/sdz: Illegal seek\n");
}

// The helpers look at their stated bytes only; the buffers below end right
// there, so a longer look is a heap overflow under AddressSanitizer.
std::unique_ptr<unsigned char[]> exactly(const std::string &bytes) {
    std::unique_ptr<unsigned char[]> b(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), b.get());
    return b;
}

TEST(GuessFstype, MayBeUdf) {
    for (const char *id : {"BEA01", "BOOT2", "CD001", "CDW02", "NSR02", "NSR03", "TEA01"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(may_be_udf(exactly(id).get()), 1);
    }
    for (const char *id : {"BEA02", "bea01", "NSR01", "CD00\x00", "TEA0 ", "\0BEA0"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(may_be_udf(exactly(std::string(id, 5)).get()), 0);
    }
}

TEST(GuessFstype, MayBeSwap) {
    struct {
        std::string page_tail;
        int expected;
    } cases[] = {{"SWAP-SPACE", 1}, {"SWAPSPACE2", 1},  {"SWAPSPACE1", 0},
                 {"swapspace2", 0}, {"SWAP-SPAC\0", 0}, {std::string("\0WAPSPACE2", 10), 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.page_tail);
        std::unique_ptr<unsigned char[]> b = exactly(c.page_tail);
        EXPECT_EQ(may_be_swap(b.get() + 10), c.expected);
    }
}

TEST(GuessFstype, IsReiserfsMagicString) {
    struct {
        std::string magic;
        int expected;
    } cases[] = {{"ReIsErFs", 1}, {"ReIsEr2Fs", 1}, {"ReIsEr3Fs", 0},
                 {"REISERFS", 0}, {"ReIsEr2F", 0},  {std::string("ReIsEr\0Fs", 9), 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.magic);
        std::string sb(64, '\0');
        sb.replace(52, c.magic.size(), c.magic);
        EXPECT_EQ(is_reiserfs_magic_string(exactly(sb).get()), c.expected);
    }
}

TEST(GuessFstype, UdfScanGivesNoWhenItCannotRead) {
    image_fd empty({});
    EXPECT_EQ(is_really_udf(empty.fd), 0);
    EXPECT_EQ(is_really_udf(-1), 0);
}

// Paths: only block devices are probed, without a word otherwise.
class GuessFstypePath : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pyxo_probe_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        unlink((dir + "/ext2.img").c_str());
        unlink((dir + "/link").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

TEST_F(GuessFstypePath, OnlyBlockDevicesAreProbed) {
    std::string image = dir + "/ext2.img";
    // Found through the descriptor, ignored through the path.
    std::vector<unsigned char> ext2(signature_image_size);
    ext2[1080] = 0x53;
    ext2[1081] = 0xEF;
    ASSERT_TRUE(write_image(image, ext2));
    ASSERT_EQ(probe(ext2).type, "ext2");
    ASSERT_EQ(symlink(image.c_str(), (dir + "/link").c_str()), 0);

    for (std::string path :
         {image, dir + "/link", dir, dir + "/missing", std::string("/dev/null"), std::string("")}) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStderr();
        const char *type = do_guess_fstype(path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(type, nullptr);
    }
}

}  // namespace
