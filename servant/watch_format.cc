#include "watch_format.h"

#include <stdio.h>

#include <functional>

#include <glib.h>
#include <json-glib/json-glib.h>

static std::string clock_text(time_t when) {
    struct tm tm;
    char text[16];
    localtime_r(&when, &tm);
    strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

const char *watch_command_name(unsigned long cmd) {
    static const char *const names[] = {"ICONIFY", "HIDE", "POPUP", "EXIT"};
    return cmd < 4 ? names[cmd] : "unknown";
}

// Whether `p` starts a character that a terminal takes as a control: DEL,
// C1 controls (U+0080-U+009F; U+009B opens a control sequence) and the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), which reorder what follows them. Its code point in
// `*code`, its length in bytes as the result; 0 for any other.
static int control_length(const unsigned char *p, unsigned *code) {
    if (*p == 0x7f) {
        *code = 0x7f;
        return 1;
    }
    if (p[0] == 0xc2 && p[1] >= 0x80 && p[1] <= 0x9f) {
        *code = p[1];
        return 2;
    }
    if (p[0] == 0xe2 && ((p[1] == 0x80 && p[2] >= 0xaa && p[2] <= 0xae) ||
                         (p[1] == 0x81 && p[2] >= 0xa6 && p[2] <= 0xa9))) {
        *code = 0x2000 | (p[1] & 0x3f) << 6 | (p[2] & 0x3f);
        return 3;
    }
    return 0;
}

// Text lines show strings from devices with C's escapes for quotes,
// backslashes and control characters, and every other byte as it is.
static std::string escaped(const char *text) {
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        char esc[8];
        unsigned code;
        int length = control_length(p, &code);
        switch (*p) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (*p < 0x20 || length > 0) {
                    snprintf(esc, sizeof esc, "\\u%04x", *p < 0x20 ? *p : code);
                    out += esc;
                    p += length > 0 ? length - 1 : 0;
                } else {
                    out += (char)*p;
                }
        }
    }
    return out;
}

static std::string quoted(const char *text) {
    return "\"" + escaped(text) + "\"";
}

// One JSON object on one line, its members added by `members`.
static std::string json_line(const std::function<void(JsonBuilder *)> &members) {
    JsonBuilder *builder = json_builder_new();
    json_builder_begin_object(builder);
    members(builder);
    json_builder_end_object(builder);
    JsonNode *root = json_builder_get_root(builder);
    JsonGenerator *generator = json_generator_new();
    json_generator_set_root(generator, root);
    gchar *text = json_generator_to_data(generator, NULL);
    // json-glib 1.6 leaves U+001F raw, which JSON forbids. Outside strings
    // it writes no control bytes, so each one left is in a string.
    std::string line;
    for (const char *p = text; *p; p++) {
        char esc[8];
        snprintf(esc, sizeof esc, "\\u%04x", (unsigned char)*p);
        line += (unsigned char)*p < 0x20 ? esc : std::string(1, *p);
    }
    g_free(text);
    g_object_unref(generator);
    json_node_unref(root);
    g_object_unref(builder);
    return line;
}

static void add_int(JsonBuilder *b, const char *name, gint64 value) {
    json_builder_set_member_name(b, name);
    json_builder_add_int_value(b, value);
}

// JSON text is UTF-8, a serial whatever bytes the device sends: each byte
// that is not part of valid UTF-8 becomes U+FFFD. Null gives null.
static void add_string(JsonBuilder *b, const char *name, const char *value) {
    json_builder_set_member_name(b, name);
    if (value == NULL) {
        json_builder_add_null_value(b);
        return;
    }
    gchar *valid = g_utf8_make_valid(value, -1);
    json_builder_add_string_value(b, valid);
    g_free(valid);
}

std::string watch_daemon_attached_line(watch_format format, time_t when, long pid) {
    if (format == WATCH_JSON) {
        return json_line([&](JsonBuilder *b) {
            add_string(b, "op", "daemon_attached");
            add_int(b, "pid", pid);
        });
    }
    return clock_text(when) + "  daemon attached      pid " + std::to_string(pid);
}

std::string watch_media_changed_line(watch_format format, time_t when,
                                     const PYXO::media_ST &media) {
    const PYXO::media_ST::scsi_ST &scsi = media.scsi;
    if (format == WATCH_JSON) {
        return json_line([&](JsonBuilder *b) {
            add_string(b, "op", "media_changed");
            add_string(b, "serial", media.serial);
            json_builder_set_member_name(b, "attached");
            json_builder_add_boolean_value(b, media.attached);
            add_int(b, "s_bus", scsi.s_bus);
            add_int(b, "s_channel", scsi.s_channel);
            add_int(b, "s_id", scsi.s_id);
            add_int(b, "s_lun", scsi.s_lun);
        });
    }
    std::string line = clock_text(when) + "  media changed        " + quoted(media.serial) +
                       (media.attached ? " Attached" : " Removed") + "  host " +
                       std::to_string(scsi.s_bus);
    if (scsi.s_channel || scsi.s_id || scsi.s_lun)
        line += " channel " + std::to_string(scsi.s_channel) + " id " + std::to_string(scsi.s_id) +
                " lun " + std::to_string(scsi.s_lun);
    return line;
}

std::string watch_command_line(watch_format format, time_t when, unsigned long cmd) {
    if (format == WATCH_JSON) {
        return json_line([&](JsonBuilder *b) {
            add_string(b, "op", "servant_remote_command");
            add_int(b, "cmd", (gint64)cmd);
        });
    }
    return clock_text(when) + "  remote command       " + watch_command_name(cmd);
}

// "SanDisk Cruzer Blade"; "-" when the device names neither.
static std::string maker(const watch_disk &disk) {
    std::string both =
        disk.vendor + (disk.vendor.empty() || disk.model.empty() ? "" : " ") + disk.model;
    return both.empty() ? "-" : both;
}

// Sizes as disk makers print them, in powers of 1000 with one decimal
// ("15.7 GB"): the figure on the stick's label. GLib joins figure and unit
// with a no-break space; a plain one keeps the line easy to split.
static std::string size_text(long long bytes) {
    if (bytes < 0)
        return "size unknown";
    gchar *text = g_format_size((guint64)bytes);
    std::string out = text;
    g_free(text);
    size_t nbsp = out.find("\u00a0");
    if (nbsp != std::string::npos)
        out.replace(nbsp, 2, " ");
    return out;
}

// "sdb1 vfat \"MY STICK\", sdb2 unknown"; without `labels`, "sdb1 vfat, sdb2 unknown".
static std::string partitions_text(const watch_disk &disk, bool labels) {
    std::string out;
    for (const watch_partition &p : disk.partitions) {
        out += out.empty() ? "" : ", ";
        out += p.device.substr(p.device.rfind('/') + 1) + " " +
               (p.fstype.empty() ? "unknown" : p.fstype);
        if (labels && !p.label.empty())
            out += " " + quoted(p.label.c_str());
    }
    return out;
}

// A text member that is null where the text is empty.
static void add_text(JsonBuilder *b, const char *name, const std::string &value) {
    add_string(b, name, value.empty() ? NULL : value.c_str());
}

// A flag of sysfs: true, false, or null where unknown (below 0).
static void add_flag(JsonBuilder *b, const char *name, int value) {
    json_builder_set_member_name(b, name);
    if (value < 0)
        json_builder_add_null_value(b);
    else
        json_builder_add_boolean_value(b, value != 0);
}

// One member of a partition object per name, as lsblk --json calls them.
static void add_partition(JsonBuilder *b, const watch_partition &p) {
    json_builder_begin_object(b);
    add_string(b, "device", p.device.c_str());
    add_text(b, "fstype", p.fstype);
    add_text(b, "label", p.label);
    add_text(b, "uuid", p.uuid);
    add_text(b, "fsver", p.fsver);
    add_text(b, "usage", p.usage);
    add_text(b, "partuuid", p.partuuid);
    add_text(b, "partlabel", p.partlabel);
    json_builder_set_member_name(b, "mountpoints");
    json_builder_begin_array(b);
    for (const std::string &point : p.mountpoints) {
        gchar *valid = g_utf8_make_valid(point.c_str(), -1);
        json_builder_add_string_value(b, valid);
        g_free(valid);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);
}

std::string watch_medium_line(watch_format format, time_t when, const char *serial,
                              const watch_disk &disk, const char *note, watch_medium_event event) {
    bool there = !disk.device.empty();
    if (format == WATCH_JSON) {
        return json_line([&](JsonBuilder *b) {
            add_string(b, "op", "medium");
            if (event == WATCH_MEDIUM_INSERTED || event == WATCH_MEDIUM_EJECTED)
                add_string(b, "event", event == WATCH_MEDIUM_INSERTED ? "inserted" : "ejected");
            if (event == WATCH_MEDIUM_LATE) {
                json_builder_set_member_name(b, "late");
                json_builder_add_boolean_value(b, true);
            }
            add_string(b, "serial", serial);
            add_string(b, "device", there ? disk.device.c_str() : NULL);
            add_string(b, "vendor", disk.vendor.c_str());
            add_string(b, "model", disk.model.c_str());
            json_builder_set_member_name(b, "size");
            if (there && disk.size >= 0)
                json_builder_add_int_value(b, disk.size);
            else
                json_builder_add_null_value(b);
            add_flag(b, "ro", there ? disk.ro : -1);
            add_flag(b, "rm", there ? disk.rm : -1);
            add_text(b, "pttype", disk.pttype);
            add_text(b, "ptuuid", disk.ptuuid);
            json_builder_set_member_name(b, "partitions");
            json_builder_begin_array(b);
            for (const watch_partition &p : disk.partitions)
                add_partition(b, p);
            json_builder_end_array(b);
            if (note != NULL)
                add_string(b, "note", note);
        });
    }
    std::string line = clock_text(when) + "  medium               " + quoted(serial) + " " +
                       (there ? disk.device : "-") + "  " + escaped(maker(disk).c_str());
    if (there)
        line += "  " + size_text(disk.size) + "  " + partitions_text(disk, true);
    if (note != NULL)
        line += std::string("  (") + note + ")";
    static const char *const said[] = {"", "  (late)", "  (card inserted)", "  (card ejected)"};
    return line + said[event];
}

std::string watch_medium_description(const watch_disk &disk, const char *note) {
    if (disk.device.empty())
        return maker(disk) + " \u2014 " + (note != NULL ? note : "no block device");
    // A person knows a stick by the names given to its volumes.
    std::string labels;
    for (const watch_partition &p : disk.partitions)
        if (!p.label.empty())
            labels += (labels.empty() ? "" : ", ") + p.label;
    return (labels.empty() ? "" : labels + " \u2014 ") + maker(disk) + ", " + size_text(disk.size) +
           " \u2014 " + partitions_text(disk, false) +
           (note != NULL ? std::string(" (") + note + ")" : "");
}
