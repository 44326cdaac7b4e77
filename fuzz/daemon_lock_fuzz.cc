// The text of a lock file: a number is found only where the text begins with
// one, and is never a process id the kernel would take for a group.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "pyxod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);
    long pid = 12345;
    int got = lock_parse_pid(text.c_str(), &pid);
    if (got != 0 && got != 1)
        abort();
    if (got == 0 && pid != 12345)
        abort();
    if (got == 1 && (pid > 2147483647L || pid < -2147483648L))
        abort();
    return 0;
}
