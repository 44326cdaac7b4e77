// The USB storage scan: one host file of the kernel's SCSI emulation at a
// time, compared with what the table of known media remembers.
#include <dirent.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <string.h>

#include "file_ext.h"
#include "pyxod.h"

regex_t *r_host = NULL;
regex_t *r_id = NULL;
regex_t *r_status = NULL;

// One line buffer for the life of the process, grown only by a longer line.
static char *buffer = NULL;
static size_t size = 256;

static const int pattern_flags = REG_EXTENDED | REG_ICASE | REG_NEWLINE;

void scan_compile_patterns(void) {
    r_host = (regex_t *)g_malloc0(sizeof *r_host);
    r_id = (regex_t *)g_malloc0(sizeof *r_id);
    r_status = (regex_t *)g_malloc0(sizeof *r_status);
    regcomp(r_host, " *Host +scsi([[:digit:]]+): *usb-storage", pattern_flags);
    regcomp(r_id, "^ *GUID: +([[:xdigit:]]+)[[:space:]]*$", pattern_flags);
    regcomp(r_status, "Attached: +(No|Yes)", pattern_flags);
}

// Each pattern holds a keyword that a line must contain, in some letter
// case, before the pattern can match. Looking for it first spares most lines
// of a pass the costly unanchored regexec; it never changes a result.
static bool may_match(const char *line, const char *keyword) {
    return strcasestr(line, keyword) != NULL;
}

scan_line_kind scan_classify_line(const char *line, regmatch_t *value) {
    regmatch_t match[4];
    if (may_match(line, "usb-storage") && regexec(r_host, line, 4, match, 0) == 0) {
        *value = match[1];
        return SCAN_LINE_HOST;
    }
    if (may_match(line, "guid:") && regexec(r_id, line, 4, match, 0) == 0) {
        *value = match[1];
        return SCAN_LINE_GUID;
    }
    if (may_match(line, "attached:") && regexec(r_status, line, 4, match, 0) == 0) {
        *value = match[1];
        return SCAN_LINE_STATUS;
    }
    return SCAN_LINE_NONE;
}

// The host number as "%d" reads it, kept in 16 bits. Digits beyond the
// range of long read as LONG_MAX, whose low bits (all set) say "no host".
static short host_number(const char *digits) {
    long n = strtol(digits, NULL, 10);
    return (short)(int)n;
}

int check_disk_state(const char *path) {
    // The stream reads through one buffer of ours: no allocation per file,
    // and no fstat for stdio to size a buffer of its own.
    static char stream_buffer[4096];
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return 0;
    setvbuf(f, stream_buffer, _IOFBF, sizeof stream_buffer);
    if (buffer == NULL)
        buffer = (char *)g_malloc0(size);

    PYXO::media_ST *fresh = NULL;
    PYXO_media_ST_new(&fresh);
    fresh->scsi.s_bus = -1;

    // A line that ends the file without a line break is not examined: the
    // kernel ends every line of a host file with one.
    while (getline(&buffer, &size, f) != -1 && !feof(f)) {
        regmatch_t value;
        scan_line_kind kind = scan_classify_line(buffer, &value);
        if (kind == SCAN_LINE_NONE)
            continue;
        char *text = buffer + value.rm_so;
        size_t len = (size_t)(value.rm_eo - value.rm_so);
        char saved = text[len];
        text[len] = '\0';
        if (kind == SCAN_LINE_HOST)
            fresh->scsi.s_bus = host_number(text);
        else if (kind == SCAN_LINE_GUID)
            fresh->serial = (const char *)text;  // a copy; the last GUID line wins
        else
            fresh->attached = g_ascii_strncasecmp(text, "yes", 3) == 0;
        text[len] = saved;
    }
    fclose(f);

    // No serial is the empty string: a GUID has at least one digit.
    if (((const char *)fresh->serial)[0] == '\0' || fresh->scsi.s_bus == -1) {
        PYXO_media_ST_destroy(&fresh);
        return 0;
    }

    return media_update(fresh);
}

// The file type of a directory entry. The entry's own type, when the file
// system gives it and it is not a symbolic link, is what stat would say;
// only the others cost a stat.
static int entry_type(const struct dirent *entry, const char *path) {
    if (entry->d_type == DT_REG)
        return S_IFREG;
    if (entry->d_type == DT_DIR)
        return S_IFDIR;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
        return file_ext_file_get_file_type(path);
    return -1;  // a device, FIFO or socket: never a host file
}

int scan_tree(const char *root, int *reports) {
    int sent = 0;
    DIR *top = opendir(root);
    if (top == NULL)
        return 0;
    struct dirent *driver;
    while ((driver = readdir(top)) != NULL) {
        if (strcmp(driver->d_name, ".") == 0 || strcmp(driver->d_name, "..") == 0)
            continue;
        char *dir_path = g_strconcat(root, "/", driver->d_name, NULL);
        DIR *dir;
        if (entry_type(driver, dir_path) == S_IFDIR && (dir = opendir(dir_path))) {
            struct dirent *host;
            while ((host = readdir(dir)) != NULL) {
                if (strcmp(host->d_name, ".") == 0 || strcmp(host->d_name, "..") == 0)
                    continue;
                char *host_path = g_strconcat(dir_path, "/", host->d_name, NULL);
                if (entry_type(host, host_path) == S_IFREG)
                    sent += check_disk_state(host_path);
                g_free(host_path);
            }
            closedir(dir);
        }
        g_free(dir_path);
    }
    closedir(top);
    if (reports != NULL)
        *reports = sent;
    return 1;
}
