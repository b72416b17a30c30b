// Firmware update: brings a unit to firmware 3.01 from the image carried in
// the program, record by record.
#pragma once

#include <windows.h>

#include <cstdint>

#include "../link/connection.h"

// Each erase wait: this many ticks of timer 3.
constexpr int32_t kEraseTicks = 110;
constexpr UINT kEraseTickMs = 40;
// After the reconnect, timer 2 looks every kReconnectCheckMs whether the
// ports opened, and posts Connect again while they are not, so that a unit
// that re-enumerates late is found; an erased unit that has not identified
// itself within kReconnectTimeoutMs fails the update.
constexpr UINT kReconnectCheckMs = 500;
constexpr UINT kReconnectTimeoutMs = 30000;
// After the last record the unit is asked for its identity every
// kConfirmCheckMs; only its answer with firmware 3.01 within
// kConfirmTimeoutMs makes the update done.
constexpr UINT kConfirmCheckMs = 500;
constexpr UINT kConfirmTimeoutMs = 5000;
// How long each of the update's sends waits for the driver before the update
// fails. A late message is never taken back with a reset.
constexpr DWORD kUpdateSendWaitMs = 2000;
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
// NotStarted: the unit is as it was before the update (the carried image was
// refused, or a step before anything was erased failed): 115 says why, the
// buttons are back and the link is left as it is. Failed: the update failed
// after the unit began erasing; the window shows the update layout with the
// failure text, whatever page was up.
enum class UpdateOutcome { GoesOn, NotStarted, Failed };

// What a running update made of an identity reply. NotAwaited: the update
// waits for none; the reply is handled as at any Connect. GoesOn: the update
// took it (and goes on, or goes on waiting). Failed: as UpdateOutcome::Failed.
enum class IdentityTaken { NotAwaited, GoesOn, Failed };

// What the window tells the log about a running update: Windows asked to end
// the session and was refused, the session ends anyway, or the operator
// closed the panel during the update.
enum class UpdateNote { SessionEndRefused, Interrupted, Abandoned };

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
// An identity reply, already decoded (serialNumber, firmwareVersion) into
// `kind`, with its report byte. While the update waits for the erased unit
// it goes on with that unit only; while it checks the unit's firmware it is
// done only with the same unit reporting 3.01 in report 0x0A; after that
// further replies change nothing.
[[nodiscard]] IdentityTaken onUpdateIdentity(UnitKind kind, uint8_t report);
// Release or a lost link: before the erase the update did not start; with
// the header or the records under way it fails; the reconnect and the check
// after the last record open the ports again themselves.
[[nodiscard]] UpdateOutcome onUpdateConnectionLost();
// True while closing the window would leave the unit without working firmware
// (from command 0x0B to the last record).
bool updateNeedsTheUnit();
// One log line about the update under way, with the records sent so far.
void noteUpdate(UpdateNote note);
// The start-up log line that says which firmware image the build carries.
void logFirmwareKind();
// WM_CLOSE: releases the image if an update loaded it.
void releaseFirmwareImage();
