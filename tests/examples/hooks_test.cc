// The example hooks end to end, run as pyxo-watch runs them (its environment,
// the medium's JSON line on standard input) on real loop devices: real
// mounts, and real windows answered through xdotool.
#include <gtest/gtest.h>

#include <regex>

#include "probe_testkit.h"
#include "x_session.h"

namespace {

const std::string uuid = "1b4e28ba-2fa1-11d2-883f-0016d3cca42";  // and a last digit

class Hooks : public ::testing::Test {
  protected:
    temp_dir tmp;
    x_session x;

    void SetUp() override {
        std::string why = loop_devices_unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x_session_start(x, why)) << why;
    }
    void TearDown() override {  // nothing a failed test mounted outlives it
        run_program({"sh", "-c", "for d in \"$0\"/*; do umount -l \"$d\"; done", tmp / "media"});
        x_session_stop(x);
    }

    std::string ext4(const std::string &label, const std::string &id) {
        run_program({"mkfs.ext4", "-q", "-L", label, "-U", id, "-d", tmp / "tree", tmp / id, "8M"});
        return tmp / id;
    }

    // Starts `script` as pyxo-watch does for a volume that is its disk too.
    child hook(const char *script, const char *event, const loop_device &dev,
               const std::string &fstype, const std::string &label, const std::string &id) {
        write_file(tmp / "medium", "{\"op\":\"medium\",\"device\":\"" + dev.path() + "\"}\n");
        spawn_options o;
        o.env = x_session_env(
            x, {"PYXO_EVENT=" + std::string(event), "PYXO_SERIAL=4C53", "PYXO_DISK=" + dev.path(),
                "PYXO_DEVICE=" + dev.path(), "PYXO_FSTYPE=" + fstype, "PYXO_LABEL=" + label,
                "PYXO_UUID=" + id, "PYXO_VENDOR=SanDisk", "PYXO_MODEL=Cruzer Blade",
                "PYXO_SIZE=8388608", "PATH=" + bin_dir() + ":" + getenv("PATH"),
                "PYXO_MOUNT_ROOT=" + tmp / "media", "PYXO_HOOK_STATE=" + tmp / "state",
                "PYXO_MOUNT_WITH=mount", "PYXO_BACKUP_DEST=" + tmp / "backups"});
        o.clear_env = true;
        o.in_file = tmp / "medium";
        return spawn({PYXO_HOOKS "/" + std::string(script)}, o);
    }

    // Types into the window whose title matches `title`, then presses `keys`
    // until the window is gone: on a loaded machine a key pressed while the
    // window is still taking the focus can be lost.
    void answer(const std::string &title, const std::string &text, const std::string &keys) {
        bool ok, typed = true, gone = false;
        std::string win =
            x_session_run(x, {"xdotool", "search", "--sync", "--onlyvisible", "--name", title}, ok);
        win = win.substr(0, win.find('\n'));
        ASSERT_TRUE(ok && !win.empty()) << "no window titled " << title;
        x_session_run(x, {"xdotool", "windowactivate", "--sync", win}, ok);
        if (!text.empty())
            x_session_run(x, {"xdotool", "type", "--delay", "20", text}, typed);
        for (int i = 0; i < 5 && !gone; i++) {
            x_session_run(x, {"xdotool", "windowactivate", "--sync", win, "key", keys}, ok);
            for (int j = 0; j < 30 && !gone; j++, usleep(100000))
                x_session_run(x, {"xdotool", "getwindowname", win}, gone), gone = !gone;
        }
        EXPECT_TRUE(typed && gone) << "the window titled " << title << " stayed";
    }

    std::string mount_of(const std::string &dir) {
        return run_program({"findmnt", "-n", "-o", "SOURCE,OPTIONS", "--mountpoint", dir}).out;
    }
};

// Two sticks of one awkward label: each gets its own directory, and each
// remove run undoes its own attach run only.
TEST_F(Hooks, AskAndMount) {
    const std::string label = "it's \"$(id)\" `x`", dir = tmp / "media/" + label;
    write_file(tmp / "tree/a", "a\n");
    loop_device a(ext4(label, uuid + "1"), false), b(ext4(label, uuid + "2"), false);
    auto run = [&](const char *event, const loop_device &d, const char *id) {
        child h = hook("ask-and-mount", event, d, "ext4", label, uuid + id);
        if (event == std::string("attach"))
            answer("^pyxo$", "", "alt+y");
        EXPECT_EQ(wait_exit(h, 60s), 0) << h.err_text;
    };
    run("attach", a, "1");
    run("attach", b, "2");
    EXPECT_EQ(mount_of(dir), a.path() + " rw,nosuid,nodev,noexec,relatime\n");
    run("remove", a, "1");
    EXPECT_FALSE(file_exists(dir));
    EXPECT_EQ(mount_of(dir + "-2"), b.path() + " rw,nosuid,nodev,noexec,relatime\n");
    run("remove", b, "2");
    EXPECT_FALSE(file_exists(dir + "-2"));
}

TEST_F(Hooks, UnlockLuksAfterAWrongPassphrase) {
    std::string why, image = make_real_image({"luks2", "", "", ""}, tmp.path, &why);
    ASSERT_NE(image, "") << why;
    loop_device dev(image, false);
    std::string id = run_program({"cryptsetup", "luksUUID", image}).out, map = "pyxo-";
    map += id.erase(id.size() - 1);
    // Where device-mapper works, the volume gets a filesystem to mount.
    bool mapper =
        run_program({"cryptsetup", "open", "--key-file", tmp / "luks2.key", dev.path(), map})
            .status == 0;
    if (mapper)
        run_program({"sh", "-c", "mkfs.ext4 -q /dev/mapper/$0; cryptsetup close $0", map});
    child h = hook("unlock-luks", "attach", dev, "crypto_LUKS", "", id);
    answer("^Unlock " + id + "$", "wrong", "Return");
    answer("second try$", "pyxo test passphrase", "Return");
    EXPECT_EQ(wait_exit(h, 60s), mapper ? 0 : 256) << h.err_text;
    if (!mapper) {
        EXPECT_NE(h.err_text.find("passphrase accepted, but cannot open " + dev.path()),
                  std::string::npos)
            << h.err_text;
        GTEST_SKIP() << "no device-mapper here: the passphrase was checked, the mapping not";
    }
    EXPECT_EQ(mount_of(tmp / "media/" + id).find("/dev/mapper/" + map + " "), 0u);
    h = hook("unlock-luks", "remove", dev, "crypto_LUKS", "", id);
    EXPECT_EQ(wait_exit(h, 60s), 0) << h.err_text;
    EXPECT_FALSE(file_exists("/dev/mapper/" + map) || file_exists(tmp / "media/" + id));
}

// Only the label asked for is copied, from a private read-only mount that
// is gone afterwards.
TEST_F(Hooks, BackupOnAttach) {
    write_file(tmp / "tree/photos/it's \"$(id)\".jpg", "jpeg\n");
    loop_device dev(ext4("BACKUP", uuid + "3"));
    for (const char *label : {"PHOTOS", "BACKUP"}) {
        child h = hook("backup-on-attach", "attach", dev, "ext4", label, uuid + "3");
        EXPECT_EQ(wait_exit(h, 60s), 0) << h.err_text;
        EXPECT_EQ(h.err_text.find("BACKUP (ext4, 8.4 MB) is backed up in") != std::string::npos,
                  label == std::string("BACKUP"));
    }
    std::string copy = run_program({"ls", tmp / "backups"}).out;
    EXPECT_TRUE(std::regex_match(copy, std::regex("\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\n")));
    copy = tmp / "backups/" + copy.erase(copy.size() - 1);
    EXPECT_EQ(run_program({"diff", "-r", "-x", "lost+found", tmp / "tree", copy}).status, 0);
    EXPECT_EQ(run_program({"findmnt", "-n", "--source", dev.path()}).out, "");
}

}  // namespace
