// What a volume says of itself beside its type: label, UUID, version and
// usage, named and formed as `blkid -p` gives them.
//
// Every function only reads the device. Beyond the regions the signature
// tests read, a format's fields cost only the few reads that reach them (the
// FAT root directory, the ntfs volume name, a UDF volume's descriptors...);
// a field that cannot be read or makes no sense is left out, never guessed.

#ifndef PYXO_PROBE_VOLUME_INFO_H
#define PYXO_PROBE_VOLUME_INFO_H

#include <string>

struct volume_info {
    // The name do_guess_fstype gives (a constant string), or null.
    const char *type = nullptr;
    // "filesystem", "crypto" (crypto_LUKS) or "other" (swap); null without a type.
    const char *usage = nullptr;
    // Each "" when the volume has none. A label stored as UTF-16 (exfat,
    // ntfs, f2fs, Joliet, UDF) comes as UTF-8, with U+FFFD for an unpaired
    // surrogate; one stored as bytes (FAT: an unknown DOS code page; ext4,
    // xfs...) comes as those bytes, which need not be valid UTF-8. Trailing
    // white space is dropped, as blkid drops it.
    std::string label;
    std::string uuid;
    std::string version;
};

// Fills *info from the block device at `device`, with the checks and the
// silent failures of do_guess_fstype: returns 1 when a type was found, else 0
// with *info empty (a failed read of the signature table alone writes a
// message to standard error).
int volume_info_read(const char *device, volume_info *info);

// The same on an open, seekable descriptor, which stays open; `device` names
// it in the message of a failed read. An image file stands in for a device.
int volume_info_read_fd(int fd, const char *device, volume_info *info);

#endif
