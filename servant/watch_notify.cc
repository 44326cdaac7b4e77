#include "watch_notify.h"

#include <stdio.h>

#include <gio/gio.h>
#include <libnotify/notify.h>

static GDBusConnection *bus = NULL;  // held so libnotify keeps this connection
static bool warned = false;

bool watch_notify_start() {
    GError *error = NULL;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, NULL, &error);
    if (bus == NULL) {
        fprintf(stderr, "pyxo-watch: no desktop notifications, no session bus: %s\n",
                error->message);
        g_error_free(error);
        return false;
    }
    if (!notify_init("pyxo-watch")) {
        fprintf(stderr, "pyxo-watch: no desktop notifications: libnotify would not start\n");
        g_clear_object(&bus);
        return false;
    }
    return true;
}

void watch_notify(const char *summary, const std::string &body) {
    if (bus == NULL)
        return;
    gchar *valid = g_utf8_make_valid(body.c_str(), -1);
    gchar *markup = g_markup_escape_text(valid, -1);
    NotifyNotification *n = notify_notification_new(summary, markup, "drive-removable-media");
    GError *error = NULL;
    if (!notify_notification_show(n, &error)) {
        if (!warned)
            fprintf(stderr, "pyxo-watch: cannot show a desktop notification: %s\n", error->message);
        warned = true;
        g_error_free(error);
    }
    g_object_unref(n);
    g_free(markup);
    g_free(valid);
    // libnotify's signals (a notification closed) are queued for the
    // default main context, which nothing else runs.
    while (g_main_context_iteration(NULL, FALSE)) {
    }
}

void watch_notify_stop() {
    if (bus == NULL)
        return;
    notify_uninit();
    g_clear_object(&bus);
}
