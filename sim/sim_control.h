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

// Unplugs a unit: its ports vanish for new opens, midiInStart on an open
// handle of it fails with MMSYSERR_NODRIVER, and what the panel sends goes
// nowhere. simReplug brings it back (open handles stay dead).
SIM_API void simUnplug(int unit);
SIM_API void simReplug(int unit);

// ---- Failure injection ----

// The next `times` calls (0: every call until simClearFailures) of the named
// WinMM function ("midiInOpen", "midiOutLongMsg", ...) fail with `result`,
// after `skip` calls that succeed.
SIM_API void simFailCall(const char* function, MMRESULT result, int skip, int times);
SIM_API void simClearFailures(void);

// midiOutLongMsg marks the header done only after this many milliseconds
// (0: at once, as before it returns). For the panel's bounded wait.
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
// LTC reader to MTC conversion; bit 4: pull-down).
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

#ifdef __cplusplus
}
#endif
