// What the probe's program tests and benchmark share: loop devices, and
// filesystem images made by real tools.

#ifndef PYXO_TESTS_PROBE_TESTKIT_H
#define PYXO_TESTS_PROBE_TESTKIT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

// Why loop devices cannot be used here, or "" when they can.
std::string loop_devices_unavailable();

// An image attached to the first free loop device, detached again when this
// goes out of scope. Held open (`hold`), the device also clears itself if the
// process dies, so a crashed test leaves no device behind; but then its page
// cache outlives each opener, which a benchmark must avoid: the kernel drops
// it at the last close, so every probe of a device nobody holds reads anew.
class loop_device {
  public:
    // With a `size`, the device shows that many bytes from `offset` on: one
    // partition of a disk image, as the kernel shows it.
    explicit loop_device(const std::string &image, bool read_only = true, bool hold = true,
                         off_t offset = 0, off_t size = 0);
    ~loop_device();
    loop_device(const loop_device &) = delete;
    loop_device &operator=(const loop_device &) = delete;
    bool attached() const {
        return !path_.empty();
    }
    const std::string &path() const {
        return path_;
    }
    const std::string &error() const {
        return error_;
    }

  private:
    std::string path_;
    std::string error_;
    int holder_ = -1;
};

// Filesystems made by the real tools, and what pyxo_dev and `blkid -p` call them.
struct real_filesystem {
    const char *name;
    const char *pyxo_type;  // null: not recognised
    const char *blkid_type;
    const char *why_differs;  // null when both agree
    // The label given to the maker, in UTF-8; null: none.
    const char *label = nullptr;
    // Why pyxo_dev --export gives the label as made where blkid does not; null
    // when both give the same.
    const char *why_label_differs = nullptr;
};
extern const std::vector<real_filesystem> real_filesystems;

// Makes the named filesystem in a new image file in `dir`. Returns its path,
// or "" with the reason in *why.
std::string make_real_image(const real_filesystem &fs, const std::string &dir, std::string *why);

#endif
