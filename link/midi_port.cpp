// MIDI port layer.
//
// Design note. The unit is one MIDI input and one MIDI output port. The input
// is opened with CALLBACK_WINDOW, so every input event arrives as a posted
// window message to MainPanel on the one GUI thread; the layer has no threads,
// queues or locks. The output has no notifications.
//
// Receiving: two 512-byte buffers (A and B) with their headers live in
// PanelState for the whole run. Both are queued while the input is open, so a
// message that arrives right after another always finds a buffer. A buffer the
// driver hands back with data is dispatched and queued again; one handed back
// empty (midiInReset does that on close) is not. A buffer handed back through
// MM_MIM_LONGERROR is queued again without being dispatched.
//
// Sending: sendSysEx prepares a header over the caller's bytes (a template of
// messageTable, not copied), sends it and waits, without pumping messages and
// for at most kSendDoneWaitMs, until the driver marks it done. If the driver
// still owns it then, the output is reset (which hands it back) before the
// header is unprepared, so the driver never keeps a pointer to a dead header.
// The caller learns whether the message went out (SendResult); a message the
// driver did not take, or still held after the wait, counts as not sent.
//
// Every failing call is logged with its site ID; open steps that fail are
// undone in reverse by closePorts, which copes with half-open states.
#include "midi_port.h"

#include <cstdio>

#include "../app/log.h"
#include "../app/panel.h"
#include "../app/resources/resource.h"
#include "../app/router.h"

void reportMidiError(MMRESULT mmResult, unsigned id) {
    char errorText[128];
    MMRESULT textResult = id <= 99 ? midiInGetErrorTextA(mmResult, errorText, sizeof errorText)
                                   : midiOutGetErrorTextA(mmResult, errorText, sizeof errorText);
    if (textResult == MMSYSERR_NOERROR) {
        std::snprintf(panel.textBuffer, kTextBufferSize, "ID %u mmResult %u %s\n", id, mmResult, errorText);
        SendMessageA(control(IDC_LOG), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(panel.textBuffer));
    }
    SendMessageA(control(IDC_LOG), WM_VSCROLL, SB_BOTTOM, 0);
}

namespace {

void prepareInputBuffer(MIDIHDR& header, char* buffer, unsigned site) {
    header = MIDIHDR{};
    header.lpData = buffer;
    header.dwBufferLength = kInputBufferSize;
    header.dwFlags = 0;
    MMRESULT result = midiInPrepareHeader(panel.inputPort, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) reportMidiError(result, site);
}

void queueInputBuffer(MIDIHDR& header, unsigned site) {
    MMRESULT result = midiInAddBuffer(panel.inputPort, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) reportMidiError(result, site);
}

bool isOwnInputHeader(const MIDIHDR* header) {
    return header == &panel.inputHeaderA || header == &panel.inputHeaderB;
}

} // namespace

OpenResult openPorts(UINT inputDeviceId, UINT outputDeviceId) {
    MMRESULT result = midiInOpen(&panel.inputPort, inputDeviceId, reinterpret_cast<DWORD_PTR>(panel.window),
                                 0, CALLBACK_WINDOW);
    if (result != MMSYSERR_NOERROR) {
        panel.inputPort = nullptr;
        reportMidiError(result, kSiteInOpen);
        closePorts();
        return OpenResult::InputFailure;
    }
    prepareInputBuffer(panel.inputHeaderA, panel.inputBufferA, kSiteInPrepareA);
    prepareInputBuffer(panel.inputHeaderB, panel.inputBufferB, kSiteInPrepareB);
    queueInputBuffer(panel.inputHeaderA, kSiteInAddA);
    queueInputBuffer(panel.inputHeaderB, kSiteInAddB);
    result = midiInStart(panel.inputPort);
    if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteInStart);

    result = midiOutOpen(&panel.outputPort, outputDeviceId, 0, 0, CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR) {
        panel.outputPort = nullptr;
        reportMidiError(result, kSiteOutOpen);
        closePorts();
        return OpenResult::OutputFailure;
    }
    return OpenResult::Success;
}

void closePorts() {
    if (panel.inputPort) {
        MMRESULT result = midiInReset(panel.inputPort);
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteInReset);
        result = midiInUnprepareHeader(panel.inputPort, &panel.inputHeaderA, sizeof(MIDIHDR));
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteInUnprepareA);
        result = midiInUnprepareHeader(panel.inputPort, &panel.inputHeaderB, sizeof(MIDIHDR));
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteInUnprepareB);
        result = midiInClose(panel.inputPort);
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteInClose);
        panel.inputPort = nullptr;
    }
    if (panel.outputPort) {
        MMRESULT result = midiOutReset(panel.outputPort);
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteOutReset);
        result = midiOutClose(panel.outputPort);
        if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteOutClose);
        panel.outputPort = nullptr;
    }
}

SendResult sendSysEx(const uint8_t* bytes, std::size_t length) {
    if (!panel.outputPort) return SendResult::Failed;
    MIDIHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(bytes));
    header.dwBufferLength = static_cast<DWORD>(length);
    header.dwFlags = 0;
    MMRESULT result = midiOutPrepareHeader(panel.outputPort, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) {
        reportMidiError(result, kSiteOutPrepare);
        return SendResult::Failed;
    }
    result = midiOutLongMsg(panel.outputPort, &header, sizeof header);
    const bool handedOver = result == MMSYSERR_NOERROR;
    if (!handedOver) reportMidiError(result, kSiteOutLongMsg);
    if (handedOver) {
        // The driver may finish asynchronously; wait a bounded time without
        // pumping messages, so no receive handler runs inside a send.
        DWORD start = GetTickCount();
        while (!(header.dwFlags & MHDR_DONE) && GetTickCount() - start < kSendDoneWaitMs)
            Sleep(1);
    }
    const bool done = handedOver && (header.dwFlags & MHDR_DONE);
    if (!(header.dwFlags & MHDR_DONE)) {
        appendLog(".dwFlags != MHDR_DONE\n");
        // Take the header back from the driver before it goes out of scope.
        if (handedOver) midiOutReset(panel.outputPort);
    }
    result = midiOutUnprepareHeader(panel.outputPort, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) reportMidiError(result, kSiteOutUnprepare);
    if (panel.sysExDump && panel.updateState == 0) dumpLine("-> ", bytes, length);
    return done ? SendResult::Sent : SendResult::Failed;
}

void receiveSysEx(MIDIHDR* header) {
    if (!isOwnInputHeader(header)) return;
    // A notification that reaches us after the buffer went back to the driver
    // (one posted before a close and reopen) was handled already.
    if (header->dwFlags & MHDR_INQUEUE) return;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
    DWORD count = header->dwBytesRecorded;
    if (count == 0) return; // handed back empty by midiInReset: not queued again
    if (count > kInputBufferSize) count = kInputBufferSize;
    dispatchSysEx(bytes, count);
    // The dispatch may have closed the ports; only an open input gets the buffer back.
    if (panel.inputPort) queueInputBuffer(*header, kSiteInRequeue);
}

void receiveLongError(MIDIHDR* header) {
    if (!isOwnInputHeader(header) || !panel.inputPort || (header->dwFlags & MHDR_INQUEUE)) return;
    queueInputBuffer(*header, kSiteInRequeue);
}

void receiveShortMessage(DWORD_PTR message) {
    uint8_t status = message & 0xFF;
    uint8_t data = (message >> 8) & 0xFF;
    if (status == 0xF1) dispatchQuarterFrame(data);
}
