// Synthetic device images for the tests: each carries one signature (or a
// near miss of one) written byte by byte, little-endian, into zeros.

#ifndef PYXO_PROBE_SIGNATURE_IMAGES_H
#define PYXO_PROBE_SIGNATURE_IMAGES_H

#include <stddef.h>

#include <string>
#include <vector>

struct signature_image {
    const char *name;
    const char *expected;  // the type the probe must give, or null
    // Number of the test that gives it; 24 when none matches, since the
    // one read after that test may come up short without a failure.
    int decided_by;
    void (*fill)(unsigned char *image);
    // The label volume_info_read_fd must give ("": none); null: not checked.
    const char *label = nullptr;
};

// Size of every image: room for the longest UDF descriptor walk.
const size_t signature_image_size = 196608;

extern const signature_image signature_images[];
extern const size_t signature_image_count;

std::vector<unsigned char> signature_image_bytes(const signature_image &sample);

// Writes the start of an HFS+ volume header at 1024 as published: the
// signature ("H+", or "HX" for HFSX), the version and a block size.
void put_hfsplus_header(unsigned char *image, const char *signature, int version);

// End of the furthest region that tests 1 to `test` read: the least device
// size on which they all run.
size_t table_read_end(int test);

// Whether `image` can be written whole to `path`.
bool write_image(const std::string &path, const std::vector<unsigned char> &image);

#endif
