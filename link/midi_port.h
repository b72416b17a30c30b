// MIDI port layer: the unit's one input and one output port, and every call
// into the Windows MIDI API. See the design note in midi_port.cpp.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstdint>

#include "../core/panel.h"

// How openPorts ended. InputNotStarted: the input opened, but a buffer could
// not be prepared or queued or the input not started; both ports are closed again.
enum class OpenResult { Success, InputFailure, InputNotStarted, OutputFailure };

// Site IDs: which WinMM call failed. Below 100: the input side and the
// output's open; 100 and above: the output's reset, close and send.
enum SiteId : unsigned {
    kSiteInReset = 32,
    kSiteInUnprepareA = 34,
    kSiteInUnprepareB = 36,
    kSiteInClose = 38,
    kSiteInPrepareA = 50,
    kSiteInPrepareB = 52,
    kSiteInStart = 54,
    kSiteOutOpen = 56,
    kSiteInRequeue = 60,
    kSiteInAddA = 70,
    kSiteInAddB = 72,
    kSiteInOpen = 80,
    kSiteOutReset = 100,
    kSiteOutClose = 110,
    kSiteOutPrepare = 130,
    kSiteOutLongMsg = 132,
    kSiteOutUnprepare = 134,
    kSiteOutSendReset = 136, // midiOutReset in sendSysEx: takes back a header the driver did not finish
};

// Longest wait in sendSysEx for the driver to finish with a message.
constexpr DWORD kSendDoneWaitMs = 300;

// How long one send waits for the driver to finish its message, and whether a
// message still unfinished then is taken back with midiOutReset (which may cut
// it in the middle) or left with the driver until it is done.
struct SendWait {
    DWORD doneMs;
    bool resetWhenLate;
};
// Every send but the firmware update's.
constexpr SendWait kBriefWait{kSendDoneWaitMs, true};

// What closePorts does with a message the output driver has not finished:
// cut it with midiOutReset, or let it finish (the close is then refused and
// the handle is closed again before the next open).
enum class UnfinishedOutput { Cut, LetFinish };

// The error line of a failed call: "ID %u mmResult %u <error text>\n".
void reportMidiError(MMRESULT mmResult, unsigned id);
// Every line of the port layer goes through here. While auto connect's Connect
// runs (panel.autoConnecting), a line it wrote before is written again only a
// minute after the last time, then with " (repeated N times)": N counts the
// times it came since it was last written, this one included.
void portLine(const char* text);
OpenResult openPorts(UINT inputDeviceId, UINT outputDeviceId);
void closePorts(UnfinishedOutput unfinished = UnfinishedOutput::Cut);
// Copies the message (at most kOutputBufferSize bytes) into a free send slot
// and sends it, waiting as `wait` says; "No free send slot" when every slot is
// still the driver's. A result that says the unit has gone ends the link
// (connectionLost) before it returns.
[[nodiscard]] SendResult sendSysEx(const uint8_t* bytes, std::size_t length, SendWait wait = kBriefWait);
// Input notifications with the handle they came from (wParam): anything but
// the open input's own buffers is dropped.
//
// MM_MIM_LONGDATA: a buffer that the open input queued on its own handle and
// that is back from the driver is accepted, with the bytes it holds (count 0:
// handed back empty). The caller dispatches them, then gives the buffer back
// with requeueInput; a buffer that cannot be queued again is logged as lost.
struct ReceivedSysEx {
    bool accepted;
    const uint8_t* bytes;
    std::size_t count;
};
ReceivedSysEx receiveSysEx(HMIDIIN handle, MIDIHDR* header);
void requeueInput(HMIDIIN handle, MIDIHDR* header);
// MM_MIM_LONGERROR: a cut message; the buffer is queued again, nothing dispatched.
void receiveLongError(HMIDIIN handle, MIDIHDR* header);
// MM_MIM_DATA: an MTC quarter frame of the open input, with its data byte.
// Every other short message is ignored (quarterFrame false).
struct ShortMessage {
    bool quarterFrame;
    uint8_t data;
};
ShortMessage receiveShortMessage(HMIDIIN handle, DWORD_PTR message);
