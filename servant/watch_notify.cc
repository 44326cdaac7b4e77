#include "watch_notify.h"

#include <libudev.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <libnotify/notify.h>

#include "eject.h"
#include "pyxo_usb_storage.h"
#include "watch_output.h"

// Shared with the thread, which may outlive everything else: never freed,
// so that nothing it uses is destroyed under it at exit.
struct notify_state {
    std::mutex mutex;              // guards the rest
    GMainContext *context = NULL;  // the thread's, woken when one is handed over
    bool busy = false;             // a notification is waiting or on its way
    bool waiting = false;          // one is waiting in summary, body and host
    bool stopped = false;          // no more are taken
    bool told_drop = false;
    std::string summary, body;
    int host = -1;
};
static notify_state &state = *new notify_state;

// The rest is the thread's own.

// The medium a "Safely remove" button stands for: its host, and what the
// host held when the button was shown, since the kernel gives a host's
// number to the next device once that one is gone.
struct removal {
    int host;
    std::string usb_syspath, identity, body;
};
// Notifications shown with a button, kept (a button works while its
// notification lives here) until the service closes them. Services that
// never close them lose the oldest buttons beyond this.
static const size_t max_buttons = 16;
static std::deque<NotifyNotification *> with_button;
static bool service_has_actions = false;
static struct udev *udev = NULL;

static void show(const std::string &summary, const std::string &body, int host);

static void closed(NotifyNotification *n, gpointer) {
    auto it = std::find(with_button.begin(), with_button.end(), n);
    if (it != with_button.end()) {
        with_button.erase(it);
        g_object_unref(n);
    }
}

// Removes the medium as pyxo-eject does, never unmounting, and tells how it
// went in a notification of its own.
static void safely_remove(NotifyNotification *, char *, gpointer data) {
    const removal &r = *(const removal *)data;
    eject_medium medium;
    std::string why;
    std::vector<std::string> said;
    eject_status status = eject_find_host(udev, r.host, &medium, &why);
    if (status == EJECT_DONE &&
        (medium.usb_syspath != r.usb_syspath || medium.identity != r.identity))
        status = EJECT_NOT_FOUND;
    if (status == EJECT_DONE)
        status = eject_remove(medium, false, &said);
    else
        said.push_back("it is no longer there");
    std::string body = r.body;
    for (const std::string &line : said)
        if (status != EJECT_DONE)
            body += "\n" + line;
    show(status == EJECT_DONE ? "USB stick can be pulled out" : "USB stick not removed", body, -1);
}

static void show(const std::string &summary, const std::string &body, int host) {
    static bool warned = false;
    gchar *valid = g_utf8_make_valid(body.c_str(), -1);
    gchar *markup = g_markup_escape_text(valid, -1);
    NotifyNotification *n =
        notify_notification_new(summary.c_str(), markup, "drive-removable-media");
    g_free(markup);
    g_free(valid);
    // The medium as it is now; the button checks that it is still the same.
    struct udev_device *host_class = service_has_actions ? pyxo_usb_storage_host(udev, host) : NULL;
    struct udev_device *usb = pyxo_usb_storage_usb_device(host_class);
    bool button = usb != NULL;
    if (button)
        notify_notification_add_action(
            n, "safely-remove", "Safely remove", safely_remove,
            new removal{host, udev_device_get_syspath(usb), pyxo_usb_storage_identity(usb), body},
            [](gpointer r) { delete (removal *)r; });
    if (host_class != NULL)
        udev_device_unref(host_class);
    GError *error = NULL;
    if (!notify_notification_show(n, &error)) {
        if (!warned)
            fprintf(stderr, "pyxo-watch: cannot show a desktop notification: %s\n", error->message);
        warned = true;
        g_error_free(error);
        button = false;
    }
    if (!button) {
        g_object_unref(n);
        return;
    }
    g_signal_connect(n, "closed", G_CALLBACK(closed), NULL);
    with_button.push_back(n);
    if (with_button.size() > max_buttons) {
        g_object_unref(with_button.front());
        with_button.pop_front();
    }
}

static bool has_actions() {
    GList *caps = notify_get_server_caps();
    bool found = false;
    for (GList *c = caps; c != NULL; c = c->next)
        found = found || strcmp((const char *)c->data, "actions") == 0;
    g_list_free_full(caps, g_free);
    return found;
}

static void run() {
    // libnotify's signals (a button pressed, a notification closed) come to
    // the main context that was the thread's own when it first talked to
    // the service.
    g_main_context_push_thread_default(state.context);
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
    } else if ((service_has_actions = has_actions())) {
        udev = udev_new();
    }
    for (bool shown = false;; shown = true) {
        std::string summary, body;
        int host;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            if (shown)
                state.busy = false;
            while (!state.waiting && !state.stopped) {
                lock.unlock();
                g_main_context_iteration(state.context, TRUE);
                lock.lock();
            }
            if (state.stopped)
                return;  // the process is ending: libnotify is left as it is
            state.waiting = false;
            summary.swap(state.summary);
            body.swap(state.body);
            host = state.host;
        }
        if (bus != NULL)
            show(summary, body, host);
    }
}

// Until the bus is there, one notification waits for it.
void watch_notify_start() {
    state.context = g_main_context_new();
    std::thread(run).detach();
}

void watch_notify(const char *summary, const std::string &body, int eject_host) {
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
    state.host = eject_host;
    g_main_context_wakeup(state.context);
}

void watch_notify_stop() {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.stopped = true;
    g_main_context_wakeup(state.context);
}
