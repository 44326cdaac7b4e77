// Free numbered names, relative paths and resolved paths.
#include "file_ext.h"

#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <glib.h>

#include "pyxo_check.h"

namespace {

// A name cut as prefix + number + suffix. The suffix starts at the first
// '.' after the first character; the number is the digit run right before
// it (0 and an empty run when there is none).
struct Split {
    size_t run_start;  // where the digit run begins (== run_end when none)
    size_t run_end;    // where the suffix begins
    long long number;  // value of the run, capped just past INT_MAX
};

Split split_name(const char *name) {
    enum { state_11, state_12 } state = g_ascii_isdigit(name[0]) ? state_11 : state_12;
    size_t s = 0;
    size_t p = 1;
    for (; name[p] != '\0' && name[p] != '.'; p++) {
        if (g_ascii_isdigit(name[p])) {
            if (state == state_12)
                s = p;
            state = state_11;
        } else {
            state = state_12;
        }
    }
    if (state == state_12)
        return Split{p, p, 0};
    long long number = 0;
    for (size_t i = s; i < p && number <= INT_MAX; i++)
        number = number * 10 + (name[i] - '0');
    return Split{s, p, number};
}

// The first free name counting up from first; null when the int range runs out.
char *first_free(const char *dir, const char *prefix, const char *suffix, long long first) {
    for (long long n = first; n <= INT_MAX; n++) {
        char *candidate = g_strdup_printf("%s%d%s", prefix, (int)n, suffix);
        char *path = g_strconcat(dir, candidate, NULL);
        struct stat st;
        bool taken = stat(path, &st) == 0;
        g_free(path);
        if (!taken)
            return candidate;
        g_free(candidate);
    }
    return NULL;
}

}  // namespace

char *file_ext_file_get_new_name(const char *url, const char *dir, int is_name) {
    struct stat st;
    if (dir == NULL || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return NULL;
    char *name = is_name ? g_strdup(url) : file_ext_file_get_file_name(url);
    if (name == NULL || name[0] == '\0') {
        g_free(name);
        return NULL;
    }
    Split split = split_name(name);
    char *prefix = g_strndup(name, split.run_start);
    const char *suffix = name + split.run_end;
    char *result = NULL;
    if (split.number < INT_MAX)
        result = first_free(dir, prefix, suffix, split.number + 1);
    if (result == NULL && split.run_start != split.run_end) {
        // The counter would leave the int range: the digits are ordinary text.
        char *whole = g_strndup(name, split.run_end);
        result = first_free(dir, whole, suffix, 1);
        g_free(whole);
    }
    g_free(prefix);
    g_free(name);
    return result;
}

// Segments of a path's rest: an empty one between two '/' counts, a '/' at
// the very end opens none.
static int count_segments(const char *rest) {
    if (*rest == '\0')
        return 0;
    int n = 1;
    for (const char *s = rest; *s; s++)
        if (*s == '/' && s[1] != '\0')
            n++;
    return n;
}

char *file_ext_make_dynamic_path(const char *from, const char *to) {
    pyxo_return_val_if_fail(from != NULL, NULL);
    pyxo_return_val_if_fail(to != NULL, NULL);
    if (from[0] != '/' || to[0] != '/')
        return NULL;
    size_t i = 1;
    while (from[i] != '\0' && from[i] == to[i])
        i++;
    if (from[i] == to[i])
        return g_strdup("./");
    const char *from_rest;
    const char *to_rest;
    if (from[i] == '\0' && to[i] == '/') {
        from_rest = from + i;
        to_rest = to + i + 1;
    } else if (to[i] == '\0' && from[i] == '/') {
        from_rest = from + i + 1;
        to_rest = to + i;
    } else {
        size_t j = i - 1;
        while (from[j] != '/')
            j--;
        from_rest = from + j + 1;
        to_rest = to + j + 1;
    }
    GString *path = g_string_sized_new(512);
    g_string_append(path, "./");
    for (int n = count_segments(from_rest); n > 0; n--)
        g_string_append(path, "../");
    g_string_append(path, to_rest);
    return g_string_free(path, FALSE);
}

// Cuts the last segment off base; false when there is none to cut.
static bool go_up(char *base) {
    size_t len = strlen(base);
    if (len < 2)
        return false;
    for (size_t i = len; i-- > 0;) {
        if (base[i] == '/') {
            base[i] = '\0';
            return true;
        }
    }
    return false;
}

char *file_ext_make_static_path(const char *source, const char *str) {
    pyxo_return_val_if_fail(source != NULL, NULL);
    pyxo_return_val_if_fail(str != NULL, NULL);
    char *base = g_strdup(source);
    size_t len = strlen(base);
    if (len > 0 && base[len - 1] == '/') {
        base[len - 1] = '\0';
        if (len == 1) {
            g_free(base);
            return NULL;
        }
    }
    // 0 start of a segment, 1 segment so far ".", 2 segment so far "..".
    int state = 0;
    size_t m = 0;
    for (size_t p = 0;; p++) {
        char c = str[p];
        if (state == 0 && c == '\0')
            return base;
        if (state == 0 && c == '/') {
            char *result = g_strconcat(base, str + m, NULL);
            g_free(base);
            return result;
        }
        if (c == '.' && state < 2) {
            state++;
            continue;
        }
        if (c == '/' && state == 1) {
            state = 0;
            m = p + 1;
            continue;
        }
        if (c == '/' && state == 2) {
            if (!go_up(base)) {
                g_free(base);
                return NULL;
            }
            state = 0;
            m = p + 1;
            continue;
        }
        char *result = g_strconcat(base, "/", str + m, NULL);
        g_free(base);
        return result;
    }
}
