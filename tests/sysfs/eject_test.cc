// pyxo-eject on a umockdev testbed, whose attributes show what it wrote:
// a stick whose disk node opens a real loop device with a real ext4 mount,
// clones, the unprivileged user, and paths that name no such medium.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "daemon_harness.h"
#include "probe_testkit.h"
#include "usb_stick.h"

#include <gtest/gtest.h>

class Eject : public ::testing::Test {
  protected:
    UMockdevTestbed *testbed = umockdev_testbed_new();
    ~Eject() override {
        g_object_unref(testbed);
    }
    // The testbed, for programs run as the unprivileged user.
    void open_to_all() {
        gchar *root = umockdev_testbed_get_root_dir(testbed);
        chmod(root, 0755);
        g_free(root);
    }
    program_result eject(std::vector<std::string> args, bool nobody = false) {
        args.insert(args.begin(), bin_dir() + "/pyxo-eject");
        spawn_options o;
        o.as_nobody = nobody;
        return run_program(args, o);
    }
    // What the stick's SCSI device's delete and its USB device's remove hold.
    std::string written(const usb_stick &s) {
        gchar *sys = umockdev_testbed_get_sys_dir(testbed);
        std::string host = std::string(sys) + usb_stick_host_path(s).substr(4) + "/../..";
        g_free(sys);
        return read_file(host + "/target" + std::to_string(s.host) + ":0:0/" +
                         std::to_string(s.host) + ":0:0:0/delete") +
               "," + read_file(host + "/../../remove");
    }
};

TEST_F(Eject, AMountedVolumeIsRefusedThenUnmountedAndTheStickRemoved) {
    std::string why = loop_devices_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    temp_dir dir;
    std::string image = make_real_image(real_filesystems[2], dir.path, &why);  // ext4
    ASSERT_TRUE(why.empty()) << why;
    loop_device loop(image, false);
    ASSERT_TRUE(loop.attached()) << loop.error();
    usb_stick s = usb_stick_on_host(2, "E0");
    s.partitions = {};
    s.backing = {loop.path()};
    s.real_devices = true;
    ASSERT_TRUE(usb_stick_plug(testbed, s));
    std::string point = dir / "mnt";
    mkdir(point.c_str(), 0755);
    ASSERT_EQ(mount(loop.path().c_str(), point.c_str(), "ext4", 0, NULL), 0) << strerror(errno);
    struct unmounted {
        std::string point;
        ~unmounted() {
            umount2(point.c_str(), MNT_DETACH);
        }
    } end{point};
    for (const char *device : {"/dev/sdc", "07815567E0"}) {
        program_result r = eject({device});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err, "pyxo-eject: /dev/sdc is mounted on " + point + "\n");
    }
    // The unprivileged user may not even unmount.
    open_to_all();
    program_result r = eject({"--unmount", "/dev/sdc"}, true);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(contains(r.err, "pyxo-eject: removing a USB device needs root")) << r.err;
    EXPECT_EQ(written(s), ",");
    r = eject({"--unmount", "/dev/sdc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "07815567E0: unmounted " + point +
                         ", flushed /dev/sdc, deleted SCSI device 2:0:0:0, removed USB device "
                         "1-2; it can be pulled out\n");
    EXPECT_FALSE(contains(read_file("/proc/self/mountinfo"), point));
    EXPECT_EQ(written(s), "1,1");
}

// Nothing is written when DEVICE names no single USB medium, when a step
// cannot be done (umockdev answers BLKFLSBUF with ENOTTY on its own nodes),
// or for the unprivileged user.
TEST_F(Eject, BadInputWritesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a device node, the unprivileged user";
    usb_stick clone = usb_stick_on_host(3, "C1"), other = usb_stick_on_host(4, "C1");
    ASSERT_TRUE(usb_stick_plug(testbed, clone) && usb_stick_plug(testbed, other));
    // An opened LUKS volume on the first one's partition.
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        testbed,
        "P: /devices/virtual/block/dm-0\nE: SUBSYSTEM=block\nA: dev=254:99\nA: dm/name=luks-1\n",
        NULL));
    gchar *sys = umockdev_testbed_get_sys_dir(testbed);
    std::string partition = sys + usb_stick_host_path(clone).substr(4) +
                            "/../../target3:0:0/3:0:0:0/block/sdd/sdd1/holders";
    mkdir(partition.c_str(), 0755);
    ASSERT_EQ(symlink((std::string(sys) + "/devices/virtual/block/dm-0").c_str(),
                      (partition + "/dm-0").c_str()),
              0);
    g_free(sys);
    temp_dir dir;
    write_file(dir / "file", "");
    // A node of a block device sysfs does not have (any more).
    ASSERT_EQ(mknod((dir / "gone").c_str(), S_IFBLK | 0600, makedev(120, 0)), 0);
    open_to_all();
    const struct {
        std::vector<std::string> args;
        bool nobody;
        int status;
        std::string err;
    } cases[] = {
        {{"07815567C1"},
         false,
         1,
         "several USB sticks give 07815567C1: name one as 07815567C1:1-3 or 07815567C1:1-4"},
        {{"07815567C1:1-3"}, false, 1, "/dev/sdd1 is held by dm-0 (luks-1)"},
        {{"07815567C1:1-4"},
         false,
         5,
         "flush /dev/sde: BLKFLSBUF: Inappropriate ioctl for device; nothing was done"},
        {{"/dev/sde1"},
         true,
         4,
         "removing a USB device needs root (or the right to write "
         "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host4/target4:0:0/4:0:0:0/"
         "delete): Permission denied"},
        {{"/dev/sdq"}, false, 3, "/dev/sdq: No such file or directory"},
        {{dir / "file"}, false, 3, dir / "file is not a block device"},
        {{dir / "gone"}, false, 3, dir / "gone: sysfs has no block device 120:0 (gone?)"},
        {{"07815567C2"}, false, 3, "no USB stick here gives 07815567C2"},
        {{}, false, 2, ""},
        {{"-x", "/dev/sdd"}, false, 2, ""},
    };
    for (const auto &c : cases) {
        program_result r = eject(c.args, c.nobody);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, c.status == 2 ? r.err : "pyxo-eject: " + c.err + "\n");
        EXPECT_TRUE(c.status != 2 || contains(r.err, "Usage: pyxo-eject [--unmount] DEVICE"));
    }
    EXPECT_EQ(written(clone), ",");
    EXPECT_EQ(written(other), ",");
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
