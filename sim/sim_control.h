// Control interface of the simulated zembrax HD (the drop-in winmm.dll in sim/).
//
// Tests link against the simulator's import library and call these functions
// in the same process as the panel; the panel itself only sees the WinMM
// functions. Every function is safe to call from the test's thread while the
// simulator's delivery thread runs.
//
// Model: a set of MIDI input and output ports (by name, in enumeration order)
// and a set of units. A unit is attached to one input port (what the panel
// receives from it) and one output port (what the panel sends to it). Ports
// without a unit are other MIDI devices: they open and accept data but nobody
// answers.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <stddef.h>
#include <stdint.h>

#ifdef ZEMBRAX_SIM_BUILD
#define SIM_API __declspec(dllexport)
#else
#define SIM_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- Set-up ----

// Back to the default world: one unit (serial 1234, firmware "0301", identity
// report 0x0A, factory settings) on input "ZEM HD MIDI In" and output
// "ZEM HD MIDI Out"; no faults; logs, counters and queues emptied; every port
// closed (handles the panel still holds become invalid). Also re-reads nothing
// from the environment: the environment is read once, when the DLL loads.
SIM_API void simReset(void);

// Replaces the port lists. names: count strings. Units are detached.
SIM_API void simSetInputPorts(int count, const char* const* names);
SIM_API void simSetOutputPorts(int count, const char* const* names);

// Adds a unit attached to input port `inputIndex` and output port
// `outputIndex` (either may be -1: not attached). Returns the unit number
// (0, 1, ...). simReset leaves unit 0; simSetInputPorts/OutputPorts remove all.
SIM_API int simAddUnit(int inputIndex, int outputIndex);

// Identity: serial number as four ASCII digits ("1234"), firmware as four
// bytes ("0301"; "\x7F\x7F\x7F\x7F" for a unit without firmware), and the
// identity report kind (0x02, 0x08 or 0x0A).
SIM_API void simSetIdentity(int unit, const char* serialDigits, const char firmware[4], uint8_t reportKind);

// ---- Cable ----

// Unplugs a unit: its ports vanish for new opens, and handles opened on them
// die as with a real driver after surprise removal: midiInStart,
// midiOutPrepareHeader, midiOutLongMsg and midiOutShortMsg fail with
// MMSYSERR_NODRIVER and nothing reaches the unit. Resetting and closing a
// dead handle work unless simSetUnplugFaults says otherwise. simReplug brings
// the unit back as a new device: its ports open anew, even while dead handles
// of the old one were never closed (those stay dead).
SIM_API void simUnplug(int unit);
SIM_API void simReplug(int unit);

// What else fails on a unit's dead handles (flags, 0 by default), as some
// drivers do after removal. Each flagged call returns MMSYSERR_NODRIVER and
// does nothing: a failed midiInReset keeps the queued input buffers (so
// midiInClose then returns MIDIERR_STILLPLAYING), a failed midiOutReset keeps
// the output headers the driver still holds. Returns 0, or -1 for a bad unit.
#define SIM_UNPLUG_IN_RESET_FAILS 1
#define SIM_UNPLUG_IN_CLOSE_FAILS 2
#define SIM_UNPLUG_OUT_RESET_FAILS 4
#define SIM_UNPLUG_OUT_CLOSE_FAILS 8
SIM_API int simSetUnplugFaults(int unit, int flags);

// ---- Failure injection ----

// The next `times` calls (0: every call until simClearFailures) of the named
// WinMM function ("midiInOpen", "midiOutLongMsg", ...) fail with `result`,
// after `skip` calls that succeed.
SIM_API void simFailCall(const char* function, MMRESULT result, int skip, int times);
SIM_API void simClearFailures(void);

// Microseconds each byte takes on the wire, both ways (default 320, 31250
// baud; 0: messages cross at once), until simReset. A long run of messages
// (the firmware image) otherwise queues for a minute ahead of what follows.
SIM_API void simSetByteTime(DWORD microseconds);

// midiOutLongMsg marks the header done only after this many milliseconds
// (0: at once, as before it returns): the slow driver. Longer than the
// panel's send wait, the header is still the driver's when the wait ends.
SIM_API void simSetOutputDoneDelay(DWORD milliseconds);

// ---- The unit talks ----

// Sends raw bytes from a unit to the panel (any bytes: a SysEx message, a
// broken one, several back to back), with wire timing.
SIM_API void simSendRaw(int unit, const uint8_t* bytes, size_t count);
// Sends a short message (status in bits 0-7, data in 8-15, 16-23).
SIM_API void simSendShort(int unit, DWORD message);
// Report 0x61 with the given status.
SIM_API void simSendEvent(int unit, uint8_t status);
// The next SysEx message from this unit is malformed: the panel gets
// MM_MIM_LONGERROR for the buffer instead of MM_MIM_LONGDATA.
SIM_API void simCorruptNext(int unit);

// Waits until everything the simulator has to deliver is delivered or lost
// (the messages are then posted to the panel's window, not yet handled: pump
// after this). Returns 0 when idle, -1 on timeout.
SIM_API int simWaitIdle(DWORD timeoutMilliseconds);

// ---- What happened ----

// Messages the panel sent to a unit (one entry per midiOutLongMsg or
// midiOutShortMsg that reached it), oldest first.
SIM_API size_t simReceivedCount(int unit);
// Copies message `index` into out (at most capacity bytes); returns its length.
SIM_API size_t simReceived(int unit, size_t index, uint8_t* out, size_t capacity);
SIM_API void simClearReceived(int unit);

// Messages that broke the protocol (frame, command length, payload ranges)
// and commands the unit does not know; both are also in the wire log.
SIM_API int simProtocolViolations(int unit);
SIM_API int simUnknownCommands(int unit);
// SysEx messages from the unit that found no queued input buffer in time and
// were lost, as on a real driver.
SIM_API int simLostMessages(int unit);

// Wire log of every message in both directions, with timestamps, to a file
// (path NULL: off). The environment can turn it on too.
SIM_API void simSetWireLogFile(const char* path);

// ---- More set-up ----

// Builds the world from a configuration text in the grammar of the
// ZEMBRAX_SIM environment variable (see sim/README.md), as the DLL does at
// load: the default world of simReset, then the entries. Returns 0, or -1
// for a bad entry (the world is then the default world).
SIM_API int simConfigure(const char* text);

// How long a SysEx message from a unit waits for a queued input buffer before
// it is lost (default 50 ms).
SIM_API void simSetInputGrace(DWORD milliseconds);

// ---- The unit's own buttons ----

// Changes a setting on the unit's front panel: parameter 1..19 or 24..26 of
// the settings report (24 Black Dolby, 25 NTSC black, 26 ext video lock), then
// the unit sends report 0x61 with status 0x07. Returns 0; -1 for a bad unit,
// parameter or value; -2 while configuration protect has the buttons locked.
SIM_API int simFrontPanelSet(int unit, int parameter, int value);
// Stores the current settings into the current profile on the front panel,
// then report 0x61 with status 0x08. Same results as simFrontPanelSet (-2
// also when the unit has saving disabled).
SIM_API int simFrontPanelSaveProfile(int unit);
// Recalls profile 1..4 on the front panel, then report 0x61 with status 0x07.
SIM_API int simFrontPanelRecallProfile(int unit, int profile);

// ---- The unit's state ----

// Sets a parameter (as simFrontPanelSet) without any report: for preparing a
// test. Returns 0 or -1.
SIM_API int simSetParameter(int unit, int parameter, int value);
// Current value of parameter 1..19 or 24..26; -1 for a bad unit or number.
SIM_API int simGetParameter(int unit, int parameter);
// Value of a parameter as stored in profile slot 0..3; -1 if bad.
SIM_API int simGetStoredParameter(int unit, int slot, int parameter);
// Byte 5 of report 0x41 (profile, NTSC black, ext lock, Black Dolby, config
// protect, varispeed); -1 for a bad unit.
SIM_API int simGetFlags(int unit);
// Whether the unit allows saving profiles (byte 25 bit 0 of report 0x41).
SIM_API void simSetSaveEnabled(int unit, int enabled);

// Name of profile slot 0..3 as the unit holds it: 12 bytes, copied into out
// with a terminating zero (out must hold 13). Returns 0 or -1.
SIM_API int simGetProfileName(int unit, int slot, char out[13]);
// Sets the name of a profile slot (at most 12 characters, zero-filled).
SIM_API int simSetProfileName(int unit, int slot, const char* name);

// Calibration item 0x48 (subcarrier phase), 0x79 (H-phase offset), 0x51 (user
// calibration offset) or 0x50 (configuration protect): the live value (set
// with command 0x58) or the stored one (command 0x5A), 0..255; -1 if bad.
SIM_API int simGetCalibration(int unit, uint8_t item, int stored);
// Sets an item's live and stored value. Returns 0 or -1.
SIM_API int simSetCalibration(int unit, uint8_t item, uint8_t value);
// The oscillator calibration words reported by report 0x51 / 0x40.
SIM_API void simSetOscillatorWords(int unit, uint16_t vcxo, uint32_t tcxo);

// Varispeed: returns 1 while active (command 0x5C) and puts its 32-bit value
// into *value (if not NULL), 0 when released, -1 for a bad unit.
SIM_API int simGetVarispeed(int unit, uint32_t* value);
// The link flag of command 0x60 (0 or 1); -1 for a bad unit.
SIM_API int simGetLinkFlag(int unit);
// Byte 5 of the last command 0x3E (0 before the first); -1 for a bad unit.
SIM_API int simGetPlayMode(int unit);
// Byte 6 of the unit's answer to MMC READ (default 0x0A: MMC control; 0x00:
// LTC reader to MTC conversion; bit 4: pull-down). Bit 4 is the unit's
// pull-down setting, which command 0x3E also sets (byte 5 = 3: on, 2: off) and
// which slows the generator's 24 and 30 frames per second by 1000/1001.
SIM_API void simSetMmcMode(int unit, uint8_t mode);

// How many accepted commands with this command byte (0x01, 0x0B, 0x20, ...)
// the unit received; -1 for a bad unit.
SIM_API int simCommandCount(int unit, uint8_t command);
// The same for MMC commands by MMC command byte (0x01 STOP, 0x02 PLAY,
// 0x42 READ, 0x44 LOCATE, 0x4A GENERATOR COMMAND).
SIM_API int simMmcCommandCount(int unit, uint8_t mmcCommand);

// ---- Driver state ----

// Input buffers queued on the open input handle of the unit's input port;
// -1 when that port is not open.
SIM_API int simQueuedInputBuffers(int unit);

// As simWaitIdle, but dispatches the calling thread's window messages (all
// except WM_TIMER) while it waits and once more at the end, so that a panel
// on this thread can queue its next input buffer. Returns 0 or -1.
SIM_API int simWaitIdlePumping(DWORD timeoutMilliseconds);

// ---- Clock ----
//
// The simulator's clock drives the time-code generators and the LTC readers.
// By default it is real time: a running generator sends its quarter frames
// by itself from the delivery thread. In manual mode nothing of the time code
// moves until simAdvance. Message delivery (wire timing, grace time, output
// delays) always runs in real time. simReset returns to real time.

// 1: manual mode, the clock stands where it is and the PC's local time (as the
// unit compares time code with it) is frozen at the moment of the switch until
// simSetWallClock; 0: real time again, from where the manual clock stood.
SIM_API void simUseManualClock(int manual);
// Manual mode: moves the clock by `milliseconds` and runs every generator up
// to the new time. The quarter frames that fall due go onto the wire in their
// order, back to back (deliver them with simWaitIdle/simWaitIdlePumping).
// Returns the number of quarter frames sent; -1 in real-time mode.
SIM_API int simAdvance(DWORD milliseconds);
// Manual mode: the PC's local time now; it moves on with simAdvance. Returns
// 0, or -1 in real-time mode (the unit then reads GetLocalTime) or for a bad time.
SIM_API int simSetWallClock(const SYSTEMTIME* localTime);

// ---- Time code ----
//
// Each unit has a time-code generator. MMC LOCATE sets its time and rate code
// (bits 5-6 of the hours byte: 0 = 24, 1 = 25, 2 = 29.97 drop-frame, 3 = 30),
// stops it and answers with the MTC full frame F0 7F 7F 01 01 hh mm ss ff F7.
// MMC PLAY runs it: eight quarter frames (status 0xF1) per two frames at the
// real rate, each cycle describing the frame it began on. MMC STOP stops it.
// MMC GENERATOR COMMAND with data 2 jams it to the unit's LTC reader (time and
// rate code; it then runs); data 0 stops it, 1 runs it.

// The unit's LTC reader: the time code at its input now, its rate code
// (0..3) and whether LTC is coming in (a running reader advances with the
// clock; a stopped one gives nothing to jam to). Returns 0, or -1 for a bad
// unit, rate or time.
SIM_API int simSetLtcReader(int unit, int hours, int minutes, int seconds, int frames, int rateCode,
                            int running);
// The generator's time code now, its rate code and whether it runs (any
// pointer may be NULL). Returns 0 or -1 for a bad unit.
SIM_API int simGetTimeCode(int unit, int* hours, int* minutes, int* seconds, int* frames, int* rateCode,
                           int* running);
// How far the generator's time code is from the PC's local time of day, in
// milliseconds (time code minus local time, wrapped to +-12 hours; the
// frame counted at the real frame rate): *atPlayMs when the last MMC PLAY
// arrived, *nowMs now (with the part of the current frame that has passed).
// Returns 0, or -1 for a bad unit or when no MMC PLAY arrived yet.
SIM_API int simTimeCodeOffset(int unit, int* atPlayMs, int* nowMs);
// Quarter frames the generator has sent since the last reset (whether or not
// anybody listened); -1 for a bad unit.
SIM_API int simQuarterFramesSent(int unit);

// ---- Calibration ----

// The word-clock frequency that the varispeed value q of command 0x5C gives:
// 35 389 440 000 000 000 / q millihertz, rounded; 0 while varispeed is off
// (command 0x5E) or for a bad unit.
SIM_API int64_t simGetWordClockMilliHertz(int unit);
// The oscillator calibration words (command 0x20 captures new ones, command
// 0x22 returns them to their factory values). Returns 0 or -1.
SIM_API int simGetOscillatorWords(int unit, uint16_t* vcxo, uint32_t* tcxo);

// ---- Identity and firmware update ----

// The unit's identity as it would report it now: serial digits and firmware
// bytes (each with a terminating zero; "\x7F\x7F\x7F\x7F" without firmware)
// and the report kind. Any pointer may be NULL. Returns 0 or -1.
SIM_API int simGetIdentity(int unit, char serialDigits[5], char firmware[5], uint8_t* reportKind);

// Firmware update as the unit sees it: command 0x0B is answered with report
// 0x0C and prepares the unit; when the panel then closes its ports the
// firmware is erased and the unit identifies with firmware 7F 7F 7F 7F,
// answering nothing but the identity request, command 0x0B and the image
// messages. The header message (F0 2C "ZF..." F7) starts a transfer (and
// erases the firmware of a unit that still has some); each record message
// (F0 2C 7F, one Intel HEX record, F7) is checked. A transfer with no bad
// record that ends with the end-of-file record leaves the firmware that
// characters 3 to 6 of the header name ("0301" for "ZF0301...") and identity
// report 0x0A; otherwise (errors, no end-of-file record, ports closed before
// it) the unit stays without firmware.

// What simFirmwareState returns.
#define SIM_FIRMWARE_RUNS 0     // the unit has firmware
#define SIM_FIRMWARE_PREPARED 1 // report 0x0C sent, waiting for the ports to close
#define SIM_FIRMWARE_ERASED 2   // no firmware
SIM_API int simFirmwareState(int unit);

// Counts of the transfer that began with the last header message (before any
// header: of records that came without one): record messages, data bytes of
// valid data records, bad records (syntax, byte count, checksum, type, out of
// place). Returns 1 when a header arrived, 0 when not, -1 for a bad unit.
SIM_API int simFirmwareStats(int unit, int* records, int* dataBytes, int* errors);

// Failure modes of the update, until simReset.
#define SIM_FIRMWARE_NORMAL 0
#define SIM_FIRMWARE_SILENT 1          // command 0x0B gets no report 0x0C and prepares nothing
#define SIM_FIRMWARE_VANISH_AT_ERASE 2 // unplugs itself when its ports close after report 0x0C
#define SIM_FIRMWARE_VANISH_AFTER_RECORDS                                                                    \
    3                                  // unplugs itself after `records` record messages of a transfer
                                       // (0: right after the header message)
#define SIM_FIRMWARE_VANISH_AT_BEGIN 4 // unplugs itself when command 0x0B arrives, unanswered
#define SIM_FIRMWARE_REJECT_RECORD                                                                           \
    5 // its loader rejects record message number `records` (1: the
      // first after the header) and the unit stays without firmware
// Returns 0, or -1 for a bad unit or mode (mode 3 needs records >= 0, mode 5 records >= 1).
SIM_API int simSetFirmwareFailure(int unit, int mode, int records);

// ---- Driver faults and checks (continued) ----

// The unit's firmware is not up yet: the next `count` identity requests go
// unanswered (as a unit whose USB ports appear before its firmware answers).
SIM_API void simIgnoreIdentityRequests(int unit, int count);

// Misuses of MIDI headers by the program that a real driver would turn into
// memory corruption: an input header prepared or queued while a queue still
// holds it (on any handle, a freed one's kept buffers included), an output
// header prepared or sent while still pending, or changed while the driver
// owned it. Each is also in the wire log.
// Counted since the DLL loaded (simReset keeps the count).
SIM_API int simDriverMisuse(void);

// Takes the first queued buffer off the open handle of input port
// `inputPort` as a driver does when it has filled it (MHDR_DONE set, out of
// the queue), but posts nothing: the caller hands it to the program. *handle
// gets the handle (may be NULL). Returns NULL when no buffer is queued or the
// port is not open. For feeding the program's receive path directly.
SIM_API MIDIHDR* simTakeInputBuffer(int inputPort, HMIDIIN* handle);

// ---- Wine's WinMM ----

// 1: the handles of Wine's WinMM, as the panel meets them on Linux through
// winealsa. midiInClose and midiOutClose free the handle even when the driver
// refuses the close (MIDIERR_STILLPLAYING with buffers still queued or
// headers still pending, a dead handle's failure, an injected failure): the
// close returns the refusal, every later call on the handle gets
// MMSYSERR_INVALHANDLE, the port opens again, and the driver keeps what it
// held. Every open gets the lowest handle value no open handle has, so the
// next open gets the value of a handle freed before. 0: the rising values and
// the closes of a Windows driver (the default; simReset returns to it and
// drops whatever freed handles' drivers kept).
SIM_API void simSetWineHandles(int on);

// Later: the drivers of handles that Wine freed write `bytes` into every input
// buffer they kept (at most its length), mark it done and hand it back with
// MM_MIM_LONGDATA, and mark every output header they kept done (MM_MOM_DONE),
// all under the freed handle value, which a new open may carry by now. A
// header the program changed meanwhile is counted as driver misuse. Returns
// the number of headers handed back.
SIM_API int simWriteKeptBuffers(const uint8_t* bytes, size_t count);

// Headers that the drivers of freed handles still keep.
SIM_API int simKeptBuffers(void);

#ifdef __cplusplus
}
#endif
