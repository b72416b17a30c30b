// Local time: the one way the panel reads the PC clock, so that tests can set it.
#pragma once

#include <windows.h>

using LocalTimeSource = void(WINAPI*)(LPSYSTEMTIME);

// GetLocalTime unless a test put its own clock here.
extern LocalTimeSource localTimeSource;

// Fills the shared local-time record of PanelState and returns it.
const SYSTEMTIME& readLocalTime();

// The local time in whole seconds since 1601, for measuring intervals (the
// repeat limit of the port layer's lines, the log file's next try). Leaves the
// shared record alone.
long long clockSeconds();

// A FILETIME in whole seconds since 1601.
long long fileTimeSeconds(const FILETIME& time);
