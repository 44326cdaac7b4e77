// Desktop notifications through libnotify, for --notify.
#pragma once

#include <string>

// Connects to the session bus. Without one it says why on standard error
// and returns false; nothing is shown then, and pyxo-watch goes on printing.
bool watch_notify_start();
// Shows one notification. `body` may hold any bytes: it is made valid UTF-8
// and escaped for the markup some services read. The first failure is told
// on standard error; the later ones are not.
void watch_notify(const char *summary, const std::string &body);
void watch_notify_stop();
