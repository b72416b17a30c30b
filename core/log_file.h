// The event log beyond list 303: the list's bound of lines, and the daily log
// file %LOCALAPPDATA%\zembrax-panel\logs\zembrax-YYYY-MM-DD.log that keeps every
// line the list receives (switch L turns it off for a run). With switch M a
// line of the file carries the panel's process id after its timestamp:
// "2026.03.07 09:05:02 [4120] application started -M".
#pragma once

#include <cstddef>

#include "panel.h"

// The list keeps the newest lines only; the oldest go first.
constexpr int kLogLineLimit = 10000;

// Log files whose date and last write both lie more than this many days before
// today are deleted at start.
constexpr int kLogFileKeepDays = 90;

// After a failure the file is tried again with a later line, at most this often.
constexpr long long kLogFileRetrySeconds = 60;

// Room for one entry as a line: every line break of an entry may become " / ".
constexpr std::size_t kLogLineSize = 3 * kTextBufferSize;

// Room for one entry as UTF-8 with its CR LF.
constexpr std::size_t kLogUtf8LineSize = 3 * kLogLineSize + 2;

// Room for the process id that a line of the file carries with switch M: "[4294967295] ".
constexpr std::size_t kProcessMarkSize = 16;

// How the pruning at start reads the logs folder's attributes (a reparse
// point is not pruned): GetFileAttributesA unless a test put its own here.
using FileAttributesFunction = DWORD(WINAPI*)(LPCSTR);
extern FileAttributesFunction logFolderAttributes;

// WM_INITDIALOG, once the switches are known: the log list's additions pass
// through the log from now on (bound and file). Unless switch L is on, makes
// the folder, deletes old files and writes the lines that are already in the
// list. A failure is logged once ("log file not written: ..."); the file is
// tried again with a later line at most once a minute, and "log file resumed:
// <path>" says when it works again.
void startLogFile();

// WM_DESTROY: closes the file; nothing more is written in this run.
void stopLogFile();

// One log entry as one line of text: the line breaks at its end dropped,
// each one inside it (LF, CR LF or CR) written as " / ". Returns the length.
// line must have room for kLogLineSize characters.
std::size_t logEntryAsLine(const char* entry, char* line);

// The same line in UTF-8 (from the ANSI code page), followed by CR LF. Returns
// the number of bytes. bytes must have room for kLogUtf8LineSize bytes.
std::size_t logEntryAsUtf8(const char* entry, char* bytes);

// Entry index of list 303 into entry; false (and an empty entry) if there is none.
bool readLogEntry(int index, char (&entry)[kTextBufferSize]);

// The system's text for an error code, without its line break; "error N" if it has none.
void describeError(unsigned long error, char* text, std::size_t size);
