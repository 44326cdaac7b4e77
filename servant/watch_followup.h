// What follows a media_changed report: for an Attached medium whose host is
// a USB storage host in sysfs, one medium line per disk once its block
// devices are there (or after 10 s, with what there is), and for as long as
// the host is there one for each card put into a slot or taken out and for
// each disk that comes later; with --notify, a desktop notification for each
// Attached medium, card and Removed report; with --on-attach and
// --on-remove, the runs of the user's programs for the volumes of each
// medium line and of each medium or card removed.
// A thread of its own does it: waiting for devices, reading them and talking
// to the notification service never hold up the ORB's threads, whose next
// reports must print at once.
#pragma once

#include <string>

#include "PYXO.hh"
#include "watch_format.h"

// Starts the thread; `print` prints one line (safe from any thread).
void watch_followup_start(watch_format format, bool notify, void (*print)(const std::string &));
// Hands over a report whose line has been printed: what follows it never
// comes before it.
void watch_followup_report(const PYXO::media_ST &media);
// Ends the thread; reports handed over later are dropped.
void watch_followup_stop();
