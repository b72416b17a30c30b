// Firmware update: brings a unit to firmware 3.01 from the image carried in
// the program, record by record.
#pragma once

#include <windows.h>

#include <cstdint>

// Each erase wait: this many ticks of timer 3.
constexpr int32_t kEraseTicks = 110;
constexpr UINT kEraseTickMs = 40;
// After the reconnect, timer 2 looks every kReconnectCheckMs whether the
// ports opened; an erased unit that has not identified itself within
// kReconnectTimeoutMs fails the update.
constexpr UINT kReconnectCheckMs = 500;
constexpr UINT kReconnectTimeoutMs = 30000;
// One command 401 sends up to kRecordsPerMessage records, for at most
// kRecordMessageMs, so that input and MIDI notifications still come between.
// The time bounds a command on a slow link; the count only matters when the
// driver takes records as fast as they come, and is large because each trip
// through the message loop costs as much as a few dozen records.
// The commands follow each other for kRecordBurstMs, then the loop gives the
// window a breath (timer 2, 1 ms): paint, input and the timers that are due,
// the link poll among them, run before the next burst.
constexpr int kRecordsPerMessage = 256;
constexpr DWORD kRecordMessageMs = 20;
constexpr DWORD kRecordBurstMs = 100;

// What a step of the update did. GoesOn: nothing for the window to change.
// NotStarted: the carried image was refused (115 says why), nothing was sent.
// Failed: the update failed; the window shows the update layout with the
// failure text, whatever page was up.
enum class UpdateOutcome { GoesOn, NotStarted, Failed };

// Whether a running update took over an erased unit that identified itself.
enum class ErasedUnit { TakenOver, NotAwaited };

// Button 223 "Update Firmware".
[[nodiscard]] UpdateOutcome onUpdateFirmware();
// Button 182 "Help".
void onUpdateHelp();
// Internal command 401: send the next records of the image.
[[nodiscard]] UpdateOutcome sendNextRecord();
// Timers 2 and 3.
[[nodiscard]] UpdateOutcome updateTick();
void progressTick();
// Report 0x0C: the unit accepted the update request.
void onUpdateReply();
// An identity reply without firmware: a running update that waits for it goes
// on with the unit (the caller then does nothing else).
[[nodiscard]] ErasedUnit onErasedUnitIdentified();
// Release or a lost link: an update that still needs the link fails.
[[nodiscard]] UpdateOutcome onUpdateConnectionLost();
// True while closing the window would leave the unit without working firmware.
bool updateNeedsTheUnit();
// The start-up log line that says which firmware image the build carries.
void logFirmwareKind();
// WM_CLOSE: releases the image if an update loaded it.
void releaseFirmwareImage();
