// MIDI port layer.
//
// Design note. The unit is one MIDI input and one MIDI output port. The input
// is opened with CALLBACK_WINDOW, so every input event arrives as a posted
// window message to MainPanel on the one GUI thread; the layer has no threads,
// queues or locks. The output has no notifications.
//
// Receiving: buffers come in pairs (A and B, 512 bytes each, with their
// headers) that live in PanelState for the whole run. Opening the input takes a
// free pair and queues both buffers, so a message that arrives right after
// another always finds a buffer. A returned buffer counts only when it comes
// from the open input handle (the notification's wParam), is one of that
// input's pair and is back from the driver; anything else (a late completion
// of a closed handle, a notification posted before a close) is dropped unseen.
// A counted buffer is dispatched if it holds data and queued again; one handed
// back through MM_MIM_LONGERROR is queued again without being dispatched.
//
// A pair belongs to its handle until midiInClose succeeds (or answers that
// the handle no longer exists). While the close fails the driver may still own
// both buffers and write into them, so the pair stays aside with the handle
// and is never prepared for another. Every open first closes such handles
// again (and output handles whose close failed); a pair is free again once its
// handle is closed.
//
// Sending: sendSysEx copies the message into a free send slot (bytes and
// header in PanelState), sends it and waits, without pumping messages and for
// at most kSendDoneWaitMs, until the driver marks it done. If it is not done
// by then the output is reset, which hands the header back. A header that the
// driver may still own after that stays with its slot until the driver is done
// with it or the handle is closed; later sends take other slots. The firmware
// update's sends wait longer and never reset (SendWait): a reset can cut a
// record in the middle. Such a late header stays with its slot, and a close
// that lets it finish (UnfinishedOutput::LetFinish) leaves the handle to the
// driver until the next open closes it again.
//
// A result that says the unit is gone (MMSYSERR_NODRIVER, MMSYSERR_INVALHANDLE,
// MIDIERR_NODEVICE) from a send or a re-queue ends the link at once
// (connectionLost), without waiting for the poll of timer 1, which a flood of
// posted messages can hold off. The window learns of it from the connection's
// state when the message at hand is done (takeLinkLost).
//
// Nothing here calls up: a received message is returned to the dialog
// procedure (receiveSysEx, receiveShortMessage), which hands it to the router
// and then gives the buffer back to the driver (requeueInput).
//
// Every failing call is logged with its site ID; open steps that fail are
// undone by closePorts, which copes with half-open states.
#include "midi_port.h"

#include <cstdio>
#include <cstring>

#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "connection.h"

void reportMidiError(MMRESULT mmResult, unsigned id) {
    char errorText[128];
    MMRESULT textResult = id <= 99 ? midiInGetErrorTextA(mmResult, errorText, sizeof errorText)
                                   : midiOutGetErrorTextA(mmResult, errorText, sizeof errorText);
    if (textResult == MMSYSERR_NOERROR) {
        char line[kTextBufferSize];
        std::snprintf(line, sizeof line, "ID %u mmResult %u %s\n", id, mmResult, errorText);
        SendMessageA(control(IDC_LOG), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    }
    SendMessageA(control(IDC_LOG), WM_VSCROLL, SB_BOTTOM, 0);
}

namespace {

bool unitGone(MMRESULT result) {
    return result == MMSYSERR_NODRIVER || result == MMSYSERR_INVALHANDLE || result == MIDIERR_NODEVICE;
}

// Logs a failed call; true when the call succeeded.
bool succeeded(MMRESULT result, unsigned site) {
    if (result == MMSYSERR_NOERROR) return true;
    reportMidiError(result, site);
    return false;
}

InputPair& openPair() {
    return panel.inputPairs[static_cast<std::size_t>(panel.inputPair)];
}

// A pair no handle may hold; -1 when all are set aside.
int freeInputPair() {
    for (int i = 0; i < kInputPairCount; ++i)
        if (!panel.inputPairs[static_cast<std::size_t>(i)].owner) return i;
    return -1;
}

void prepareInputBuffer(MIDIHDR& header, char* buffer, unsigned site) {
    header = MIDIHDR{};
    header.lpData = buffer;
    header.dwBufferLength = kInputBufferSize;
    header.dwFlags = 0;
    succeeded(midiInPrepareHeader(panel.inputPort, &header, sizeof header), site);
}

// After a failed close the handle still holds what it held. MMSYSERR_INVALHANDLE
// means the system knows no such handle any more: nothing can come through it.
bool closedOrGone(MMRESULT closeResult) {
    return closeResult == MMSYSERR_NOERROR || closeResult == MMSYSERR_INVALHANDLE;
}

// Resets and closes an input handle; once it is closed or gone its pair is free again.
void closeInput(HMIDIIN handle, InputPair& pair) {
    succeeded(midiInReset(handle), kSiteInReset);
    succeeded(midiInUnprepareHeader(handle, &pair.headerA, sizeof(MIDIHDR)), kSiteInUnprepareA);
    succeeded(midiInUnprepareHeader(handle, &pair.headerB, sizeof(MIDIHDR)), kSiteInUnprepareB);
    MMRESULT result = midiInClose(handle);
    succeeded(result, kSiteInClose);
    if (closedOrGone(result)) pair.owner = nullptr;
}

// Frees the send slots of an output handle whose headers are back from the
// driver (done, or never queued).
void reclaimSlots(HMIDIOUT handle) {
    for (OutputSlot& slot : panel.outputSlots) {
        if (slot.owner != handle) continue;
        DWORD flags = slot.header.dwFlags;
        if ((flags & MHDR_INQUEUE) && !(flags & MHDR_DONE)) continue; // still the driver's
        if (succeeded(midiOutUnprepareHeader(handle, &slot.header, sizeof(MIDIHDR)), kSiteOutUnprepare))
            slot.owner = nullptr;
    }
}

OutputSlot* freeSlot(HMIDIOUT handle) {
    reclaimSlots(handle);
    for (OutputSlot& slot : panel.outputSlots)
        if (!slot.owner) return &slot;
    return nullptr;
}

// A message of this handle that the driver has not finished yet.
bool stillSending(HMIDIOUT handle) {
    for (const OutputSlot& slot : panel.outputSlots)
        if (slot.owner == handle && (slot.header.dwFlags & MHDR_INQUEUE) &&
            !(slot.header.dwFlags & MHDR_DONE))
            return true;
    return false;
}

// Resets and closes an output handle; true when it is closed or gone (then
// it holds none of its headers any more). LetFinish: no reset while a message
// is unfinished; the driver then refuses the close until it is done.
bool closeOutput(HMIDIOUT handle, UnfinishedOutput unfinished = UnfinishedOutput::Cut) {
    if (unfinished == UnfinishedOutput::Cut || !stillSending(handle))
        succeeded(midiOutReset(handle), kSiteOutReset);
    reclaimSlots(handle);
    MMRESULT result = midiOutClose(handle);
    succeeded(result, kSiteOutClose);
    if (!closedOrGone(result)) return false;
    for (OutputSlot& slot : panel.outputSlots)
        if (slot.owner == handle) slot.owner = nullptr;
    return true;
}

// Handles whose close failed before: another try, so that their port and
// buffers come free once the driver lets go.
void closeAbandonedHandles() {
    for (InputPair& pair : panel.inputPairs)
        if (pair.owner && pair.owner != panel.inputPort) closeInput(pair.owner, pair);
    for (HMIDIOUT& handle : panel.abandonedOutputs)
        if (handle && closeOutput(handle)) handle = nullptr;
}

void setOutputAside(HMIDIOUT handle) {
    for (HMIDIOUT& slot : panel.abandonedOutputs)
        if (!slot) {
            slot = handle;
            return;
        }
    // No room: the handle is not tried again; headers it may hold stay with it.
}

// The bounded wait for the driver to finish a header, without pumping
// messages, so that no receive handler runs inside a send.
void waitUntilDone(const MIDIHDR& header, DWORD limitMs) {
    DWORD start = GetTickCount();
    while (!(header.dwFlags & MHDR_DONE) && GetTickCount() - start < limitMs)
        Sleep(1);
}

// A returned buffer that counts: from the open input, one of its pair, and
// no longer queued (a notification for a buffer queued again is stale).
bool accepted(HMIDIIN handle, const MIDIHDR* header) {
    if (!panel.inputPort || handle != panel.inputPort) return false;
    const InputPair& pair = openPair();
    if (header != &pair.headerA && header != &pair.headerB) return false;
    return !(header->dwFlags & MHDR_INQUEUE);
}

} // namespace

OpenResult openPorts(UINT inputDeviceId, UINT outputDeviceId) {
    closeAbandonedHandles();
    int pair = freeInputPair();
    if (pair < 0) {
        appendLog("no free MIDI input buffers\n");
        return OpenResult::InputFailure;
    }
    HMIDIIN input = nullptr;
    MMRESULT result =
        midiInOpen(&input, inputDeviceId, reinterpret_cast<DWORD_PTR>(panel.window), 0, CALLBACK_WINDOW);
    if (result != MMSYSERR_NOERROR) {
        reportMidiError(result, kSiteInOpen);
        closePorts();
        return OpenResult::InputFailure;
    }
    panel.inputPort = input;
    panel.inputPair = pair;
    InputPair& buffers = openPair();
    buffers.owner = input;
    prepareInputBuffer(buffers.headerA, buffers.bufferA, kSiteInPrepareA);
    prepareInputBuffer(buffers.headerB, buffers.bufferB, kSiteInPrepareB);
    succeeded(midiInAddBuffer(input, &buffers.headerA, sizeof(MIDIHDR)), kSiteInAddA);
    succeeded(midiInAddBuffer(input, &buffers.headerB, sizeof(MIDIHDR)), kSiteInAddB);
    succeeded(midiInStart(input), kSiteInStart);

    HMIDIOUT output = nullptr;
    result = midiOutOpen(&output, outputDeviceId, 0, 0, CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR) {
        reportMidiError(result, kSiteOutOpen);
        closePorts();
        return OpenResult::OutputFailure;
    }
    panel.outputPort = output;
    return OpenResult::Success;
}

void closePorts(UnfinishedOutput unfinished) {
    // The identity request is repeated only while the ports are open.
    KillTimer(panel.window, kTimerIdentity);
    if (panel.inputPort) {
        closeInput(panel.inputPort, openPair()); // a failed close leaves the pair aside with its handle
        panel.inputPort = nullptr;
    }
    if (panel.outputPort) {
        if (!closeOutput(panel.outputPort, unfinished)) setOutputAside(panel.outputPort);
        panel.outputPort = nullptr;
    }
}

SendResult sendSysEx(const uint8_t* bytes, std::size_t length, SendWait wait) {
    HMIDIOUT output = panel.outputPort;
    if (!output || length == 0 || length > kOutputBufferSize) return SendResult::Failed;
    MMRESULT gone = MMSYSERR_NOERROR; // the first result that says the unit is gone
    auto failed = [&gone](MMRESULT result, unsigned site) {
        if (result == MMSYSERR_NOERROR) return false;
        reportMidiError(result, site);
        if (unitGone(result) && gone == MMSYSERR_NOERROR) gone = result;
        return true;
    };

    SendResult sent = SendResult::Failed;
    OutputSlot* slot = freeSlot(output);
    if (!slot && wait.resetWhenLate) { // every send header is still with the driver: take them back
        failed(midiOutReset(output), kSiteOutSendReset);
        slot = freeSlot(output);
    }
    if (slot) {
        std::memcpy(slot->bytes, bytes, length);
        MIDIHDR& header = slot->header;
        header = MIDIHDR{};
        header.lpData = reinterpret_cast<LPSTR>(slot->bytes);
        header.dwBufferLength = static_cast<DWORD>(length);
        header.dwFlags = 0;
        if (!failed(midiOutPrepareHeader(output, &header, sizeof header), kSiteOutPrepare)) {
            slot->owner = output;
            bool handedOver = !failed(midiOutLongMsg(output, &header, sizeof header), kSiteOutLongMsg);
            if (handedOver) waitUntilDone(header, wait.doneMs);
            bool done = (header.dwFlags & MHDR_DONE) != 0;
            bool leftWithDriver = false;
            if (!done) {
                appendLog(".dwFlags != MHDR_DONE\n");
                if (handedOver && wait.resetWhenLate)
                    failed(midiOutReset(output), kSiteOutSendReset); // hands the header back
                else
                    leftWithDriver = handedOver; // not cut: it stays the driver's until done
            }
            // A header the driver still owns stays with its slot.
            if (!leftWithDriver &&
                !failed(midiOutUnprepareHeader(output, &header, sizeof header), kSiteOutUnprepare))
                slot->owner = nullptr;
            if (panel.sysExDump && !updateRunning()) dumpLine("-> ", bytes, length);
            if (handedOver && done) sent = SendResult::Sent;
        }
    }
    if (gone != MMSYSERR_NOERROR) connectionLost();
    return sent;
}

ReceivedSysEx receiveSysEx(HMIDIIN handle, MIDIHDR* header) {
    if (!accepted(handle, header)) return {false, nullptr, 0};
    DWORD count = header->dwBytesRecorded;
    if (count > kInputBufferSize) count = kInputBufferSize;
    // Empty buffers come back from midiInReset in closePorts, and their
    // notifications arrive after the close: not accepted above. One handed
    // back empty while the input is open is simply queued again.
    return {true, reinterpret_cast<const uint8_t*>(header->lpData), count};
}

void requeueInput(HMIDIIN handle, MIDIHDR* header) {
    if (!panel.inputPort || panel.inputPort != handle) return; // the dispatch closed the input
    MMRESULT result = midiInAddBuffer(handle, header, sizeof *header);
    if (result == MMSYSERR_NOERROR) return;
    reportMidiError(result, kSiteInRequeue);
    if (unitGone(result)) connectionLost();
}

void receiveLongError(HMIDIIN handle, MIDIHDR* header) {
    if (accepted(handle, header)) requeueInput(handle, header);
}

ShortMessage receiveShortMessage(HMIDIIN handle, DWORD_PTR message) {
    if (!panel.inputPort || handle != panel.inputPort) return {false, 0};
    uint8_t status = message & 0xFF;
    uint8_t data = (message >> 8) & 0xFF;
    return {status == 0xF1, data};
}
