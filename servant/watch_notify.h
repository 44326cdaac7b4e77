// Desktop notifications through libnotify, for --notify.
//
// libnotify's calls wait for the session bus (connecting to it has no time
// limit at all) and for the notification service (25 s per call), so they
// are made by a thread of their own, one notification at a time, and no
// one ever waits for that thread: not the reports, not the exit. Between
// them it runs a GLib main context of its own, where the service's answers
// come (a button pressed, a notification closed).
#pragma once

#include <string>

// Starts the thread, which connects to the session bus. Without one it says
// why on standard error; nothing is shown then, and pyxo-watch goes on
// printing.
void watch_notify_start();
// Hands one notification to the thread, never waiting: one that comes while
// the one before is still on its way is dropped (said once on standard
// error). `body` may hold any bytes: it is made valid UTF-8 and escaped for
// the markup some services read. The first failure to show one is told on
// standard error; the later ones are not. With `eject_host` (a SCSI host
// number, else -1), when the service announces the "actions" capability and
// the host is a USB medium's, the notification carries a "Safely remove"
// button: the thread then removes that medium as pyxo-eject does (without
// unmounting anything) and tells in a notification of its own that it can
// be pulled out, or why not.
void watch_notify(const char *summary, const std::string &body, int eject_host = -1);
// Drops whatever comes later. The thread is left as it is: the process ends
// without it.
void watch_notify_stop();
