// The USB storage scan: one host file of the kernel's SCSI emulation at a
// time, compared with what the table of known media remembers.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_ext.h"
#include "pyxod.h"

regex_t *r_host = NULL;
regex_t *r_id = NULL;
regex_t *r_status = NULL;

// One line buffer for the life of the process, grown only by a longer line
// and never past max_line and its NUL.
static char *buffer = NULL;
static size_t size = 256;

// A longer line (counted with its line break) is skipped unexamined. Real
// host files have lines of a few dozen bytes; the bound keeps one odd file
// from pinning memory for good, and keeps every serial, and so every report,
// far below the ORB's message limit.
static const size_t max_line = 64 * 1024;

// What was read of the current host file and not yet taken into lines. One
// for all files: no allocation per file.
static char chunk[4096];
static size_t chunk_pos = 0, chunk_end = 0;

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

static void keep(const char *text, size_t len, size_t *kept) {
    if (*kept + len + 1 > size) {
        size_t grown = size * 2 > *kept + len + 1 ? size * 2 : *kept + len + 1;
        size = grown < max_line + 1 ? grown : max_line + 1;
        buffer = (char *)g_realloc(buffer, size);
    }
    memcpy(buffer + *kept, text, len);
    *kept += len;
}

// Reads the next line of `fd` into the line buffer, with its line break and
// a NUL after it. 0 at the end of the file or on a read error; a line that
// the end of the file cuts off has no line break, and is not examined: the
// kernel ends every line of a host file with one. Lines longer than
// max_line are passed over.
static int next_line(int fd) {
    size_t kept = 0;
    bool too_long = false;
    for (;;) {
        if (chunk_pos == chunk_end) {
            ssize_t n;
            do
                n = read(fd, chunk, sizeof chunk);
            while (n < 0 && errno == EINTR);
            if (n <= 0)
                return 0;
            chunk_pos = 0;
            chunk_end = (size_t)n;
        }
        const char *start = chunk + chunk_pos;
        const char *end = (const char *)memchr(start, '\n', chunk_end - chunk_pos);
        size_t len = end != NULL ? (size_t)(end - start) + 1 : chunk_end - chunk_pos;
        chunk_pos += len;
        too_long = too_long || kept + len > max_line;
        if (!too_long)
            keep(start, len, &kept);
        if (end == NULL)
            continue;
        if (!too_long) {
            buffer[kept] = '\0';
            return 1;
        }
        kept = 0;
        too_long = false;
    }
}

int check_disk_state(const char *path) {
    // Never blocks, and reads regular files only: a FIFO or device renamed
    // over a host file since the directory was read is skipped like an
    // unreadable file.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    if (buffer == NULL)
        buffer = (char *)g_malloc0(size);
    chunk_pos = chunk_end = 0;

    PYXO::media_ST *fresh = NULL;
    PYXO_media_ST_new(&fresh);
    fresh->scsi.s_bus = -1;

    while (next_line(fd)) {
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
    close(fd);

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
