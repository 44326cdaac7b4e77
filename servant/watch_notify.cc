#include "watch_notify.h"

#include <stdio.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gio/gio.h>
#include <libnotify/notify.h>

#include "watch_output.h"

// Shared with the thread, which may outlive everything else: never freed,
// so that nothing it uses is destroyed under it at exit.
struct notify_state {
    std::mutex mutex;  // guards the rest
    std::condition_variable handed;
    bool busy = false;     // a notification is waiting or on its way
    bool waiting = false;  // one is waiting in summary and body
    bool stopped = false;  // no more are taken
    bool told_drop = false;
    std::string summary, body;
};
static notify_state &state = *new notify_state;

static void show(const std::string &summary, const std::string &body) {
    static bool warned = false;
    gchar *valid = g_utf8_make_valid(body.c_str(), -1);
    gchar *markup = g_markup_escape_text(valid, -1);
    NotifyNotification *n =
        notify_notification_new(summary.c_str(), markup, "drive-removable-media");
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

static void run() {
    GError *error = NULL;
    // Held so that libnotify keeps this connection.
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, NULL, &error);
    if (bus == NULL) {
        fprintf(stderr, "pyxo-watch: no desktop notifications, no session bus: %s\n",
                error->message);
        g_error_free(error);
    } else if (!notify_init("pyxo-watch")) {
        fprintf(stderr, "pyxo-watch: no desktop notifications: libnotify would not start\n");
        g_clear_object(&bus);
    }
    for (bool shown = false;; shown = true) {
        std::string summary, body;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            if (shown)
                state.busy = false;
            state.handed.wait(lock, [] { return state.waiting || state.stopped; });
            if (state.stopped)
                return;  // the process is ending: libnotify is left as it is
            state.waiting = false;
            summary.swap(state.summary);
            body.swap(state.body);
        }
        if (bus != NULL)
            show(summary, body);
    }
}

// Until the bus is there, one notification waits for it.
void watch_notify_start() {
    std::thread(run).detach();
}

void watch_notify(const char *summary, const std::string &body) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.stopped)
        return;
    if (state.busy) {
        if (!state.told_drop)
            watch_output_note(
                "pyxo-watch: a desktop notification was dropped: the one before was still "
                "on its way (so are any others that come meanwhile)");
        state.told_drop = true;
        return;
    }
    state.busy = state.waiting = true;
    state.summary = summary;
    state.body = body;
    state.handed.notify_one();
}

void watch_notify_stop() {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.stopped = true;
    state.handed.notify_one();
}
