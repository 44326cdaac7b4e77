// pyxo_dev run as a program on loop devices attached to images.

#include <sstream>
#include <string>
#include <vector>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "probe_testkit.h"
#include "signature_images.h"

namespace {

const std::string usage = "Return type of file system...\n\npyxo_dev <device>\n";

program_result pyxo_dev(const std::vector<std::string> &args, const spawn_options &options = {}) {
    std::vector<std::string> argv = {PYXO_DEV};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, options);
}

// For a run that may hang: killed after a while, it shows as status -1.
program_result pyxo_dev_within_seconds(const std::string &path, bool exported = false) {
    child c = spawn(exported ? std::vector<std::string>{PYXO_DEV, "--export", path}
                             : std::vector<std::string>{PYXO_DEV, path});
    int status = wait_exit(c, 10s);
    drain(c, 1s);
    program_result r;
    r.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = c.out_text;
    r.err = c.err_text;
    return r;
}

std::string image_string(const std::vector<unsigned char> &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

#define SKIP_WITHOUT_LOOP_DEVICES()                        \
    do {                                                   \
        std::string why = loop_devices_unavailable();      \
        if (!why.empty())                                  \
            GTEST_SKIP() << "needs loop devices: " << why; \
    } while (0)

TEST(PyxoDev, WrongArgumentCountPrintsUsage) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                                 {"/dev/sda", "/dev/sdb"},
                                                 {"a", "b", "c"},
                                                 {"--export", "a", "b"},
                                                 {"a", "--export"}}) {
        SCOPED_TRACE(args.size());
        program_result r = pyxo_dev(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(PyxoDev, WhatIsNoBlockDeviceGivesNothing) {
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string image = dir / "ext2.img";
    // A valid ext2 signature, which must not be looked at in a regular file.
    std::vector<unsigned char> bytes(signature_image_size);
    bytes[1080] = 0x53, bytes[1081] = 0xEF;
    ASSERT_TRUE(write_file(image, image_string(bytes)));
    ASSERT_EQ(symlink(image.c_str(), (dir / "link").c_str()), 0);
    // A plain open of a FIFO waits for a writer that never comes.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

    for (const std::string &path :
         {image, dir / "link", dir.path, dir / "missing", std::string("/dev/null"), dir / "fifo"}) {
        for (bool exported : {false, true}) {
            SCOPED_TRACE(path + (exported ? " with --export" : ""));
            program_result r = pyxo_dev_within_seconds(path, exported);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
        }
    }
    // Alone, the option is one argument: a path like any other.
    EXPECT_EQ(pyxo_dev_within_seconds("--export").status, 255);
}

// Every row of the table, through the program on a read-only loop device
// (an attempt to open it for writing would fail there).
TEST(PyxoDev, EveryRowOfTheTableOnALoopDevice) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    for (size_t i = 0; i < signature_image_count; i++) {
        const signature_image &sample = signature_images[i];
        SCOPED_TRACE(sample.name);
        std::string image = dir / ("sample" + std::to_string(i) + ".img");
        ASSERT_TRUE(write_file(image, image_string(signature_image_bytes(sample))));
        loop_device dev(image);
        ASSERT_TRUE(dev.attached()) << dev.error();

        program_result r = pyxo_dev({dev.path()});
        program_result e = pyxo_dev({"--export", dev.path()});
        if (sample.expected) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, std::string("device type : ") + sample.expected + "\n");
            EXPECT_EQ(e.status, 0);
            EXPECT_EQ(e.out.substr(0, e.out.find('\n')),
                      std::string("TYPE='") + sample.expected + "'");
        } else {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(e.status, 255);
            EXPECT_EQ(e.out, "");
        }
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(e.err, "");
    }
}

TEST(PyxoDev, SymbolicLinkToADeviceIsFollowed) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    std::vector<unsigned char> bytes(signature_image_size);
    bytes[1080] = 0x53, bytes[1081] = 0xEF;  // ext2 magic
    bytes[1116] = 0x04, bytes[1248] = 8;     // a journal in inode 8
    ASSERT_TRUE(write_file(dir / "ext3.img", image_string(bytes)));
    loop_device dev(dir / "ext3.img");
    ASSERT_TRUE(dev.attached()) << dev.error();
    ASSERT_EQ(symlink(dev.path().c_str(), (dir / "stick").c_str()), 0);

    program_result r = pyxo_dev({dir / "stick"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "device type : ext3\n");
    EXPECT_EQ(r.err, "");
}

// A script reads the status alone as often as the line: a line lost on the
// way must not leave a 0 behind.
TEST(PyxoDev, ResultThatCannotBeWrittenIsAFailure) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    std::vector<unsigned char> bytes(signature_image_size);
    bytes[1080] = 0x53, bytes[1081] = 0xEF;  // ext2 magic
    ASSERT_TRUE(write_file(dir / "ext2.img", image_string(bytes)));
    loop_device dev(dir / "ext2.img");
    ASSERT_TRUE(dev.attached()) << dev.error();

    spawn_options to_full;
    to_full.out_file = "/dev/full";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{dev.path()}, {"--export", dev.path()}}) {
        program_result r = pyxo_dev(args, to_full);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "standard output: No space left on device\n");
    }
}

// The path turns from a link to a device into a FIFO and back as fast as
// the machine goes, so that some runs see the device when they look at the
// path and the FIFO when they open it. No signature is on the device, so
// every run ends with 255 and no output, whatever it meets.
TEST(PyxoDev, FifoSwappedInBeforeTheOpenDoesNotHoldIt) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    ASSERT_TRUE(write_file(dir / "zeros.img", std::string(signature_image_size, '\0')));
    loop_device dev(dir / "zeros.img");
    ASSERT_TRUE(dev.attached()) << dev.error();
    std::string path = dir / "stick", next = dir / "next";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            symlink(dev.path().c_str(), next.c_str());
            rename(next.c_str(), path.c_str());
            mkfifo(next.c_str(), 0600);
            rename(next.c_str(), path.c_str());
        }
    });
    for (int run = 0; run < 300; run++) {
        program_result r = pyxo_dev_within_seconds(path);
        if (r.status != 255 || !r.out.empty() || !r.err.empty()) {
            ADD_FAILURE() << "run " << run << ": status " << r.status << ", out \"" << r.out
                          << "\", err \"" << r.err << "\"";
            break;
        }
    }
    stop = true;
    swapper.join();
}

// 40000 bytes hold every region up to test 22 but not the one of test 23: the
// probe stops there with a message, though the swap signature behind it would
// have matched.
TEST(PyxoDev, ShortDeviceFailsAtTheReadOfTest23) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    std::string bytes(40000, '\0');
    bytes.replace(4086, 10, "SWAPSPACE2");
    ASSERT_TRUE(write_file(dir / "short.img", bytes));
    loop_device dev(dir / "short.img");
    ASSERT_TRUE(dev.attached()) << dev.error();

    program_result r = pyxo_dev({dev.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    // The seek beyond the end of a block device fails and sets errno, so the
    // message takes the perror form: the device, a colon, the system's text.
    std::string prefix = dev.path() + ": ";
    EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
    EXPECT_GT(r.err.size(), prefix.size() + 1) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(PyxoDev, DeviceIsNeverWritten) {
    SKIP_WITHOUT_LOOP_DEVICES();
    temp_dir dir;
    // Several signatures, so that many regions are read, UDF scan included.
    std::vector<unsigned char> bytes(signature_image_size);
    for (size_t i = 0; i < signature_image_count; i++) {
        if (std::string(signature_images[i].name) == "ISO 9660 bridge, 4096-byte blocks")
            signature_images[i].fill(bytes.data());
    }
    std::string before = image_string(bytes);
    ASSERT_TRUE(write_file(dir / "rw.img", before));
    loop_device dev(dir / "rw.img", /*read_only=*/false);
    ASSERT_TRUE(dev.attached()) << dev.error();
    std::string stat_file = "/sys/block/" + dev.path().substr(dev.path().rfind('/') + 1) + "/stat";
    auto writes = [&] {
        // Fields 5 to 8 of the block layer's counters are about writes.
        std::istringstream s(read_file(stat_file));
        long field[8] = {};
        for (long &f : field)
            s >> f;
        return std::to_string(field[4]) + " " + std::to_string(field[6]);
    };
    std::string writes_before = writes();

    program_result r = pyxo_dev({dev.path()});
    EXPECT_EQ(r.out, "device type : udf\n");
    EXPECT_EQ(writes(), writes_before);
    EXPECT_EQ(read_file(dir / "rw.img"), before);
}

}  // namespace
