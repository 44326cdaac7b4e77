#include "probe_testkit.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "signature_images.h"

std::string loop_devices_unavailable() {
    if (geteuid() != 0)
        return "attaching loop devices needs root";
    if (access("/dev/loop-control", F_OK) != 0)
        return "there is no /dev/loop-control (no loop driver)";
    if (run_program({"losetup", "--version"}).status != 0)
        return "losetup (util-linux) is not installed";
    return "";
}

loop_device::loop_device(const std::string &image, bool read_only, bool hold, off_t offset,
                         off_t size) {
    std::vector<std::string> argv = {"losetup", "-f", "--show"};
    if (read_only)
        argv.push_back("-r");
    if (size > 0)
        argv.insert(argv.end(),
                    {"-o", std::to_string(offset), "--sizelimit", std::to_string(size)});
    argv.push_back(image);
    // Its ioctls must reach the kernel, also from a test under umockdev.
    spawn_options kernel;
    kernel.env = {"LD_PRELOAD"};
    program_result r = run_program(argv, kernel);
    std::string dev = r.out.substr(0, r.out.find('\n'));
    if (r.status != 0 || dev.empty()) {
        error_ = "losetup failed: " + r.err;
        return;
    }
    path_ = dev;
    if (!hold)
        return;
    // Holding the device open with auto-clear set lets the kernel detach it
    // when the last opener goes, even if this process dies on the way.
    holder_ = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    struct loop_info64 info;
    if (holder_ >= 0 && ioctl(holder_, LOOP_GET_STATUS64, &info) == 0) {
        info.lo_flags |= LO_FLAGS_AUTOCLEAR;
        ioctl(holder_, LOOP_SET_STATUS64, &info);
    }
}

loop_device::~loop_device() {
    if (path_.empty())
        return;
    spawn_options kernel;
    kernel.env = {"LD_PRELOAD"};
    run_program({"losetup", "-d", path_}, kernel);
    if (holder_ >= 0)
        close(holder_);
}

namespace {

bool sparse_file(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ftruncate(fd, size) == 0;
    return close(fd) == 0 && ok;
}

// Runs a maker; on failure leaves its words in *why.
bool made(const std::vector<std::string> &argv, std::string *why) {
    program_result r = run_program(argv);
    if (r.status == 0)
        return true;
    *why = argv[0] + " failed (status " + std::to_string(r.status) + "): " + r.err;
    return false;
}

const off_t MiB = 1024 * 1024;

}  // namespace

// `count` characters of `pattern` over and over, or as many as fit in `count`
// bytes, never cutting a character in two.
std::string repeated(const std::string &pattern, size_t count, bool bytes) {
    std::string s;
    size_t have = 0;
    for (size_t i = 0;; i = (i + 1) % pattern.size()) {
        size_t length = 1;
        while (i + length < pattern.size() && (pattern[i + length] & 0xC0) == 0x80)
            length++;
        if (have + (bytes ? length : 1) > count)
            return s;
        s.append(pattern, i, length);
        have += bytes ? length : 1;
        i += length - 1;
    }
}
const std::string awkward = "Ab\u00e9 \"'$`\\x";
const std::string ntfs_longest = repeated(awkward, 128, false);
const std::string f2fs_longest = repeated(awkward, 512, true);
const std::string btrfs_longest = repeated(awkward, 255, true);
// \u20ac needs UTF-16, which holds 63 characters.
const std::string udf_longest = repeated("\u20ac \"'$`\\ \u00e9", 63, false);

// Labels of each awkward kind: blanks, both quotes, the shell's $ ` \\, UTF-8,
// and as long as each format allows (in bytes, or in UTF-16 units).
const std::vector<real_filesystem> real_filesystems = {
    {"ext2", "ext2", "ext2", nullptr},
    {"ext3", "ext3", "ext3", nullptr, " a'b\"c$d`e\\f \u00e9Z"},
    {"ext4", "ext4", "ext4", nullptr, "BACKUP 2024  "},
    {"ext4-nojournal", "ext4", "ext4", nullptr},
    {"vfat12", "vfat", "vfat", nullptr},
    // Written by mtools in DOS code page 850: \u00c9 is stored as 0x90.
    {"vfat16", "vfat", "vfat", nullptr, "\u00c9'$`~ \u00dc!@"},
    {"vfat32", "vfat", "vfat", nullptr, "Z9 ~!#&()-@"},
    {"swap", "swap", "swap", nullptr, "sw'a\"p$`\\ \u00e91234"},
    {"minix1", "minix", "minix", nullptr},
    {"minix2", "minix", "minix", nullptr},
    {"minix3", nullptr, "minix",
     "the signature table knows the magic numbers of minix versions 1 and 2 only"},
    {"cramfs", "cramfs", "cramfs", nullptr, "it's \"$`\\ \u00e9 ok!"},
    {"bfs", "bfs", "bfs", nullptr},
    {"iso9660", "iso9660", "iso9660", nullptr, "it's \"$`\\ \u00e9 & 32 bytes long!!!!"},
    // Joliet holds 16 characters; the primary descriptor the rest.
    {"iso9660-joliet", "iso9660", "iso9660", nullptr, "Holiday 'Photos' $2024 `x` a b"},
    {"iso9660-udf", "udf", "udf", nullptr, "it's \"$`\\ \u00e9"},
    {"udf", "udf", "udf", nullptr, udf_longest.c_str()},
    // A volume set identifier too short for the 16 digits of its UUID.
    {"udf-vsid", "udf", "udf", nullptr},
    {"exfat", "exfat", "exfat", nullptr, "'\"$`\\ \u00e9a b!"},
    {"hfsplus", "hfsplus", "hfsplus", nullptr},
    {"hfsx", "hfsplus", "hfsplus", nullptr},
    {"f2fs", "f2fs", "f2fs", nullptr, f2fs_longest.c_str()},
    {"squashfs", "squashfs", "squashfs", nullptr},
    {"luks1", "crypto_LUKS", "crypto_LUKS", nullptr},
    {"luks2", "crypto_LUKS", "crypto_LUKS", nullptr,
     "my \"secret\" disk: it's $HOME `id` \\ \u00e9t\u00e9 48 byt"},
    {"btrfs", "btrfs", "btrfs", nullptr, btrfs_longest.c_str()},
    {"ntfs", "ntfs", "ntfs", nullptr, "Data \"2024\" it's $`\\ \u00e9"},
    {"ntfs-longest", "ntfs", "ntfs", nullptr, ntfs_longest.c_str(),
     "blkid reads the volume name without putting back the bytes the record's update "
     "sequence number covers: its 64th character comes out as U+0002"},
    {"xfs", "xfs", "xfs", nullptr, "x'\"$`\\\u00e9 ok!"},
    {"jfs", "jfs", "jfs", nullptr, "j'\"$`\\ \u00e9fs 16b!"},
    {"reiserfs", "reiserfs", "reiserfs", nullptr, "r'\"$`\\ \u00e9iser 16"},
};

std::string make_real_image(const real_filesystem &fs, const std::string &dir, std::string *why) {
    const std::string name = fs.name;
    const std::string image = dir + "/" + name + ".img";
    auto sized = [&](off_t size) {
        if (sparse_file(image, size))
            return true;
        *why = "cannot create " + image + ": " + strerror(errno);
        return false;
    };
    auto tree = [&]() {
        std::string root = dir + "/" + name + ".tree";
        mkdir(root.c_str(), 0700);
        write_file(root + "/hello.txt", "hello from pyxo\n");
        return root;
    };
    // The maker's option for a label, with the label, when the row has one.
    auto labelled = [&](std::vector<std::string> argv, const std::string &option) {
        if (fs.label)
            argv.insert(argv.begin() + 1, {option, fs.label});
        return argv;
    };
    bool ok = false;
    if (name == "ext2" || name == "ext3" || name == "ext4")
        ok = sized(8 * MiB) && made(labelled({"mkfs." + name, "-q", "-F", image}, "-L"), why);
    else if (name == "vfat12")
        ok = sized(4 * MiB) && made({"mkfs.vfat", "-F", "12", "-i", "1234abcd", image}, why);
    else if (name == "vfat16") {
        // mkfs.vfat takes no letters beyond ASCII; mtools writes them in the
        // DOS code page.
        spawn_options utf8;
        utf8.env = {"LC_ALL=C.UTF-8"};
        ok = sized(20 * MiB) && made({"mkfs.vfat", "-F", "16", "-i", "1234abcd", image}, why);
        program_result r = run_program({"mlabel", "-i", image, std::string("::") + fs.label}, utf8);
        if (ok && r.status != 0) {
            *why = "mlabel failed: " + r.err;
            ok = false;
        }
    } else if (name == "vfat32")
        ok = sized(40 * MiB) &&
             made(labelled({"mkfs.vfat", "-F", "32", "-i", "1234abcd", image}, "-n"), why);
    else if (name == "swap")
        // A fixed UUID: random bytes near 1040 could pass for another signature.
        ok = sized(MiB) &&
             made(labelled({"mkswap", "-U", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", image}, "-L"),
                  why);
    else if (name == "minix1")
        ok = sized(MiB) && made({"mkfs.minix", "-1", image}, why);
    else if (name == "minix2")
        ok = sized(MiB) && made({"mkfs.minix", "-2", image}, why);
    else if (name == "minix3")
        ok = sized(MiB) && made({"mkfs.minix", "-3", image}, why);
    else if (name == "cramfs")
        ok = made(labelled({"mkfs.cramfs", "-N", "little", tree(), image}, "-n"), why);
    else if (name == "bfs")
        ok = sized(MiB) && made({"mkfs.bfs", image}, why);
    else if (name == "iso9660")
        ok = made(labelled({"genisoimage", "-quiet", "-o", image, tree()}, "-V"), why);
    else if (name == "iso9660-joliet")
        ok = made(labelled({"genisoimage", "-quiet", "-J", "-o", image, tree()}, "-V"), why);
    else if (name == "iso9660-udf")
        ok = made(labelled({"genisoimage", "-quiet", "-udf", "-o", image, tree()}, "-V"), why);
    else if (name == "udf")
        ok = sized(4 * MiB) && made({"mkudffs", std::string("--lvid=") + fs.label, image}, why);
    else if (name == "udf-vsid")
        ok = sized(4 * MiB) && made({"mkudffs", "--fullvsid=12345678\u00e9", image}, why);
    else if (name == "ext4-nojournal")
        ok = sized(8 * MiB) && made({"mkfs.ext4", "-q", "-F", "-O", "^has_journal", image}, why);
    else if (name == "exfat")
        ok = sized(8 * MiB) && made(labelled({"mkfs.exfat", image}, "-L"), why);
    else if (name == "hfsplus" || name == "hfsx") {
        // Debian has no maker of HFS+: the volume header as published.
        std::vector<unsigned char> bytes(MiB);
        put_hfsplus_header(bytes.data(), name == "hfsx" ? "HX" : "H+", name == "hfsx" ? 5 : 4);
        ok = write_image(image, bytes);
        if (!ok)
            *why = "cannot write " + image + ": " + strerror(errno);
    } else if (name == "f2fs")
        ok = sized(64 * MiB) && made(labelled({"mkfs.f2fs", "-q", image}, "-l"), why);
    else if (name == "squashfs")
        // A squashfs image ends with its data, often within the 64 KiB the
        // table reads; the partition or stick holding it goes on beyond.
        ok = made({"mksquashfs", tree(), image, "-noappend", "-quiet", "-mkfs-time", "0",
                   "-all-time", "0"},
                  why) &&
             truncate(image.c_str(), MiB) == 0;
    else if (name == "luks1" || name == "luks2") {
        // Formatting writes the header into the file; no device mapper is
        // involved. The fewest key derivation rounds keep it quick.
        std::string key = dir + "/" + name + ".key";
        ok = sized(20 * MiB) && write_file(key, "pyxo test passphrase") &&
             made(labelled({"cryptsetup", "luksFormat", "-q", "--type", name, "--pbkdf", "pbkdf2",
                            "--pbkdf-force-iterations", "1000", "--key-file", key, image},
                           "--label"),
                  why);
    } else if (name == "btrfs")
        ok = sized(128 * MiB) && made(labelled({"mkfs.btrfs", "-q", image}, "-L"), why);
    else if (name == "ntfs" || name == "ntfs-longest")
        // Fast formatting leaves the clusters as they are: zeros here.
        ok = sized(16 * MiB) && made(labelled({"mkntfs", "-q", "-F", "-f", image}, "-L"), why);
    else if (name == "xfs")
        ok = sized(300 * MiB) && made(labelled({"mkfs.xfs", "-q", image}, "-L"), why);
    else if (name == "jfs")
        ok = sized(16 * MiB) && made(labelled({"mkfs.jfs", "-q", image}, "-L"), why);
    else if (name == "reiserfs")
        ok = sized(40 * MiB) && made(labelled({"mkfs.reiserfs", "-q", "-f", image}, "-l"), why);
    else
        *why = "no maker for " + name;
    return ok ? image : "";
}
