#include "watch_format.h"

#include <stdio.h>

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

std::string watch_json_string(const char *text) {
    std::string out = "\"";
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
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
                if (*p < 0x20) {
                    char esc[8];
                    snprintf(esc, sizeof esc, "\\u%04x", *p);
                    out += esc;
                } else {
                    out += (char)*p;
                }
        }
    }
    return out + "\"";
}

std::string watch_daemon_attached_line(watch_format format, time_t when, long pid) {
    if (format == WATCH_JSON)
        return "{\"op\":\"daemon_attached\",\"pid\":" + std::to_string(pid) + "}";
    return clock_text(when) + "  daemon attached      pid " + std::to_string(pid);
}

std::string watch_media_changed_line(watch_format format, time_t when,
                                     const PYXO::media_ST &media) {
    const PYXO::media_ST::scsi_ST &scsi = media.scsi;
    if (format == WATCH_JSON) {
        return "{\"op\":\"media_changed\",\"serial\":" + watch_json_string(media.serial) +
               ",\"attached\":" + (media.attached ? "true" : "false") +
               ",\"s_bus\":" + std::to_string(scsi.s_bus) +
               ",\"s_channel\":" + std::to_string(scsi.s_channel) +
               ",\"s_id\":" + std::to_string(scsi.s_id) +
               ",\"s_lun\":" + std::to_string(scsi.s_lun) + "}";
    }
    std::string line =
        clock_text(when) + "  media changed        " + watch_json_string(media.serial) +
        (media.attached ? " Attached" : " Removed") + "  host " + std::to_string(scsi.s_bus);
    if (scsi.s_channel || scsi.s_id || scsi.s_lun)
        line += " channel " + std::to_string(scsi.s_channel) + " id " + std::to_string(scsi.s_id) +
                " lun " + std::to_string(scsi.s_lun);
    return line;
}

std::string watch_command_line(watch_format format, time_t when, unsigned long cmd) {
    if (format == WATCH_JSON)
        return "{\"op\":\"servant_remote_command\",\"cmd\":" + std::to_string(cmd) + "}";
    return clock_text(when) + "  remote command       " + watch_command_name(cmd);
}
