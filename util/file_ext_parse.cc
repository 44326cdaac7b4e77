// Taking URLs and paths apart: each machine reads every character once,
// left to right, and never backtracks.
#include "file_ext.h"

#include <string.h>

#include <glib.h>

#include "pyxo_check.h"

// Where the path part of a URL ends.
static bool path_end(char c) {
    return c == '\0' || c == '#' || c == '?';
}

// In the scheme, before the colon.
static char *state_1(const char *url, size_t p) {
    for (;; p++) {
        switch (url[p]) {
            case ':':
                // state_2: a scheme counts only when a '/' follows its colon.
                return url[p + 1] == '/' ? g_strndup(url, p + 1) : NULL;
            case '\0':
            case '#':
            case '/':
            case '?':
            case '@':
                return NULL;
            default:
                break;
        }
    }
}

char *file_ext_file_get_protocol(const char *url) {
    if (url == NULL)
        return NULL;
    switch (url[0]) {
        case '\0':
        case '#':
        case '.':
        case ':':
        case '?':
        case '@':
            return NULL;
        case '/':
            return g_strdup("file://");
        default:
            return state_1(url, 1);
    }
}

char *file_ext_file_get_file_name(const char *url) {
    if (url == NULL)
        return NULL;
    // 30 start, 31 segment ".", 32 segment "..", 33 after '/', 34 in a segment.
    int state = 30;
    size_t m = 0;
    for (size_t p = 0;; p++) {
        char c = url[p];
        if (path_end(c)) {
            if (state != 34)
                return NULL;
            return g_strndup(url + m, p - m);
        }
        if (c == '/') {
            state = 33;
        } else if (state == 30 || state == 33) {
            state = c == '.' ? 31 : 34;
            m = p;
        } else if (state == 31) {
            state = c == '.' ? 32 : 34;
        } else if (state == 32) {
            state = 34;
        }
    }
}

char *file_ext_file_extract_ext(const char *name) {
    if (name == NULL)
        return NULL;
    enum { state_21, state_22, state_23, state_24 } state = state_21;
    size_t mark = 0;
    for (size_t p = 0;; p++) {
        char c = name[p];
        if (path_end(c)) {
            if (state != state_24)
                return NULL;
            char *ext = g_strndup(name + mark - 1, p - mark + 1);
            for (char *s = ext; *s; s++)
                *s = g_ascii_tolower(*s);
            return ext;
        }
        if (c == '/') {
            state = state_21;
            continue;
        }
        switch (state) {
            case state_21:
                // The first character of a name, a dot included, is part of it.
                state = state_22;
                break;
            case state_22:
                if (c == '.')
                    state = state_23;
                break;
            case state_23:
                if (c != '.') {
                    state = state_24;
                    mark = p;
                }
                break;
            case state_24:
                break;
        }
    }
}

char *file_ext_file_extract_file_name(const char *url) {
    pyxo_return_val_if_fail(url != NULL, NULL);
    char *name = file_ext_file_get_file_name(url);
    if (name == NULL)
        return NULL;
    char *ext = file_ext_file_extract_ext(name);
    if (ext == NULL)
        return name;
    char *base = g_strndup(name, strlen(name) - strlen(ext));
    g_free(ext);
    g_free(name);
    return base;
}
