// Event log: list box 303 across the bottom of MainPanel. Operator events go
// in with a timestamp (logLine), diagnostics without one (appendLog, dumpLine).
// The bound of the list and the daily log file: log_file.h; its menus: log_menu.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Appends text unchanged as one new entry and scrolls the log to its bottom.
void appendLog(const char* text);

// Formats "%d.%02d.%02d %02d:%02d:%02d " with the local time, then the message
// with its values, into the shared text buffer, and appends it.
#if defined(__GNUC__)
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void logLine(const char* format, ...);
#endif

// Most bytes one dump line holds: 3 + 4 * 62 + 2 characters fit the 256 of a line.
constexpr std::size_t kDumpBytesPerLine = 62;

// Hex dump of one SysEx message: prefix ("-> " sent, "<- " received), then
// "  XX" per byte, then "  \n". A message longer than 62 bytes goes on in
// further lines of the same form, 62 bytes each, so every byte is shown.
void dumpLine(const char* prefix, const uint8_t* bytes, std::size_t count);

// Button 154 "Clear All Logs".
void clearAllLogs();
