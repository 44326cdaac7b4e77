// Properties of the four URL and path parsers on any text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <glib.h>

#include "file_ext.h"

static void require(bool ok, const char *what, const std::string &input, const char *got) {
    if (ok)
        return;
    fprintf(stderr, "%s\ninput: '%s'\nresult: '%s'\n", what, input.c_str(), got ? got : "(null)");
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *in = text.c_str();  // ends at the first NUL like any C string
    std::string input(in);
    size_t path_end = strcspn(in, "#?");

    char *protocol = file_ext_file_get_protocol(in);
    if (protocol) {
        size_t n = strlen(protocol);
        bool scheme = n >= 2 && protocol[n - 1] == ':' && strncmp(protocol, in, n) == 0 &&
                      in[n] == '/' && strcspn(protocol, "/#?@") == n;
        require(scheme || (strcmp(protocol, "file://") == 0 && in[0] == '/'),
                "protocol is not the scheme before \":/\"", input, protocol);
    }

    char *name = file_ext_file_get_file_name(in);
    if (name) {
        require(strchr(name, '/') == NULL, "file name holds '/'", input, name);
        require(*name && strcmp(name, ".") && strcmp(name, ".."), "file name empty, . or ..", input,
                name);
        require(strpbrk(name, "#?") == NULL, "file name runs past the path", input, name);
        size_t n = strlen(name);
        require(n <= path_end && strncmp(in + path_end - n, name, n) == 0,
                "file name is not the end of the path", input, name);
    }

    char *ext = file_ext_file_extract_ext(in);
    if (ext) {
        require(ext[0] == '.' && ext[1] != '\0' && ext[1] != '.', "extension has no dot first",
                input, ext);
        require(strpbrk(ext, "/#?") == NULL, "extension runs past its segment", input, ext);
        for (const char *s = ext; *s; s++)
            require(!g_ascii_isupper(*s), "extension holds an upper-case letter", input, ext);
        require(name != NULL, "extension without a file name", input, ext);
        size_t n = strlen(ext);
        require(strlen(name) > n && g_ascii_strcasecmp(name + strlen(name) - n, ext) == 0,
                "extension is not the end of the file name", input, ext);
    }

    char *base = file_ext_file_extract_file_name(in);
    require((base != NULL) == (name != NULL), "name without extension disagrees", input, base);
    if (base) {
        require(strchr(base, '/') == NULL, "name without extension holds '/'", input, base);
        size_t n = strlen(base);
        require(strncmp(base, name, n) == 0 && n + (ext ? strlen(ext) : 0) == strlen(name),
                "name without extension is not the name's start", input, base);
    }

    g_free(protocol);
    g_free(name);
    g_free(ext);
    g_free(base);
    return 0;
}
