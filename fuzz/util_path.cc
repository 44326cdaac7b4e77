// Properties of the two path builders on any pair of texts (split at the
// first newline).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <glib.h>

#include "file_ext.h"

static void require(bool ok, const char *what, const std::string &a, const std::string &b,
                    const char *got) {
    if (ok)
        return;
    fprintf(stderr, "%s\nfirst: '%s'\nsecond: '%s'\nresult: '%s'\n", what, a.c_str(), b.c_str(),
            got ? got : "(null)");
    abort();
}

// Absolute, without empty, "." or ".." segments; one trailing '/' allowed.
static bool plain(const std::string &path) {
    if (path[0] != '/' || path.find("//") != std::string::npos)
        return false;
    for (size_t start = 1; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..")
            return false;
        start = end + 1;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t cut = text.find('\n');
    std::string a(text.substr(0, cut).c_str());
    std::string b(cut == std::string::npos ? "" : text.substr(cut + 1).c_str());

    char *dynamic = file_ext_make_dynamic_path(a.c_str(), b.c_str());
    bool absolute = a[0] == '/' && b[0] == '/';
    require((dynamic != NULL) == absolute, "relative path given for relative input", a, b, dynamic);
    if (dynamic) {
        require(strncmp(dynamic, "./", 2) == 0, "relative path does not start with ./", a, b,
                dynamic);
        if (a == b)
            require(strcmp(dynamic, "./") == 0, "same path is not ./", a, b, dynamic);
        // Resolved against `from`, it must lead back to `to` whenever both
        // are plain paths (the root resolves to the empty text). A trailing
        // '/' on `to` is not kept when `to` is an ancestor of `from`.
        if (plain(a) && plain(b) && a != "/" && (b == "/" || b.back() != '/')) {
            char *back = file_ext_make_static_path(a.c_str(), dynamic);
            std::string expected = b == "/" ? "" : b;
            require(back && expected == back, "relative path does not lead back", a, b, back);
            g_free(back);
        }
    }

    char *resolved = file_ext_make_static_path(a.c_str(), b.c_str());
    if (resolved) {
        require(a.empty() || resolved[0] == a[0] || resolved[0] == '\0',
                "resolved path leaves its base", a, b, resolved);
    }

    g_free(dynamic);
    g_free(resolved);
    return 0;
}
