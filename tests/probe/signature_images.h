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
    int decided_by;        // number of the test that gives it (24 when none matches)
    void (*fill)(unsigned char *image);
};

// Size of every image: room for the longest UDF descriptor walk.
const size_t signature_image_size = 196608;

extern const signature_image signature_images[];
extern const size_t signature_image_count;

std::vector<unsigned char> signature_image_bytes(const signature_image &sample);

// End of the furthest region that tests 1 to `test` read: the least device
// size on which they all run.
size_t table_read_end(int test);

// Whether `image` can be written whole to `path`.
bool write_image(const std::string &path, const std::vector<unsigned char> &image);

#endif
