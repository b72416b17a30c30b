// MIDI port layer: the unit's one input and one output port, and every call
// into the Windows MIDI API. See the design note in midi_port.cpp.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstdint>

enum class OpenResult { Success, InputFailure, OutputFailure };

// What became of one message handed to sendSysEx. Sent: the driver took it
// and marked it done. Failed: no output port is open, the prepare or
// midiOutLongMsg failed, or the driver still held it after kSendDoneWaitMs.
// Most callers ignore it; the firmware update must not.
enum class SendResult { Sent, Failed };

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
};

// Longest wait in sendSysEx for the driver to finish with a message.
constexpr DWORD kSendDoneWaitMs = 300;

void reportMidiError(MMRESULT mmResult, unsigned id);
OpenResult openPorts(UINT inputDeviceId, UINT outputDeviceId);
void closePorts();
SendResult sendSysEx(const uint8_t* bytes, std::size_t length);
void receiveSysEx(MIDIHDR* header);
void receiveLongError(MIDIHDR* header);
void receiveShortMessage(DWORD_PTR message);
