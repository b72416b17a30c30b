// MIDI port layer.
//
// Design note. The unit is one MIDI input and one MIDI output port. The input
// is opened with CALLBACK_WINDOW, so every input event arrives as a posted
// window message to MainPanel on the one GUI thread; the layer has no threads,
// queues or locks. The output has no notifications.
//
// Ownership is never assumed. Receive buffers come in pairs (A and B, 512
// bytes each, with their headers) and messages go out from send slots (bytes
// and header); all of them live in PanelState for the whole run. A header
// handed to a driver (midiInAddBuffer, midiOutLongMsg) is held until it is
// seen back: the driver marked it done and took it out of its queue
// (MHDR_DONE set, MHDR_INQUEUE clear), or it was unprepared. A pair or slot
// also belongs to the handle it is prepared for until that handle is closed
// or answers that it no longer exists. Only a pair or slot with neither is
// free for another handle.
//
// A handle that no longer exists proves nothing about its buffers. Under
// Wine, midiInClose and midiOutClose free the handle even when the driver
// refuses the close; the driver keeps the buffers queued and may write into
// them later, and the next open gets the same handle value. A header still
// held when its handle went away is retired: the panel never prepares,
// queues, unprepares or writes it again, and its pair or slot counts as free
// only once the driver itself marks the header done. Every open first closes
// again the handles whose close failed, before it opens new ones, so that a
// reused value is never taken for the old handle.
//
// Receiving: opening the input takes a free pair, prepares and queues both
// buffers and starts the input; if any of that fails both ports are closed
// again, since an input that does not receive is no link. A returned buffer
// counts only when the open input queued it on its own handle (the
// notification's wParam, the pair, the held mark) and it is out of the
// driver's queue; anything else (a late completion of a closed or vanished
// handle under a reused value, a notification posted before a close) is
// dropped unseen. A counted buffer is dispatched if it holds data and queued
// again; one handed back through MM_MIM_LONGERROR is queued again without
// being dispatched; one that cannot be queued again is logged as lost.
//
// Sending: sendSysEx copies the message into a free send slot, sends it and
// waits, without pumping messages and for at most kSendDoneWaitMs, until the
// driver marks it done. If it is not done by then the output is reset, which
// hands the header back. A header that the driver may still own after that
// stays with its slot; later sends take other slots, and with no slot left a
// send fails with a line. The firmware update's sends wait longer and never
// reset (SendWait): a reset can cut a record in the middle. Such a late header
// stays with its slot, and a close that lets it finish
// (UnfinishedOutput::LetFinish) leaves the handle to the driver until the next
// open closes it again.
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
// Every failing call is logged with its site ID, and every line goes through
// portLine: while auto connect tries every 2 s, a line it repeats is written
// at most once a minute. Open steps that fail are undone by closePorts, which
// copes with half-open states.
#include "midi_port.h"

#include <cstdio>
#include <cstring>

#include "../core/clock.h"
#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "connection.h"

namespace {

RepeatedLine* repeatedEntry(const char* text) {
    for (RepeatedLine& entry : panel.repeatedLines)
        if (entry.text[0] && std::strncmp(entry.text, text, sizeof entry.text) == 0) return &entry;
    return nullptr;
}

// A free entry, or the one written longest ago.
RepeatedLine& newRepeatedEntry() {
    RepeatedLine* oldest = &panel.repeatedLines[0];
    for (RepeatedLine& entry : panel.repeatedLines) {
        if (!entry.text[0]) return entry;
        if (entry.writtenAt < oldest->writtenAt) oldest = &entry;
    }
    return *oldest;
}

// The line with " (repeated N times)" before the line break at its end.
void appendRepeated(const char* text, int times) {
    int end = static_cast<int>(strnlen(text, kTextBufferSize - 1));
    int body = end;
    while (body > 0 && (text[body - 1] == '\n' || text[body - 1] == '\r'))
        --body;
    char line[kTextBufferSize];
    std::snprintf(line, sizeof line, "%.*s (repeated %d times)%.*s", body, text, times, end - body,
                  text + body);
    appendLog(line);
}

} // namespace

void portLine(const char* text) {
    if (!panel.autoConnecting) {
        appendLog(text);
        return;
    }
    const long long now = clockSeconds();
    RepeatedLine* entry = repeatedEntry(text);
    if (!entry) {
        entry = &newRepeatedEntry();
        std::snprintf(entry->text, sizeof entry->text, "%s", text);
        entry->writtenAt = now;
        entry->count = 0;
        appendLog(text);
        return;
    }
    const long long since = now - entry->writtenAt; // a clock set back counts as a minute gone
    if (since >= 0 && since < kRepeatedLineSeconds) {
        ++entry->count;
        return;
    }
    const int times = entry->count + 1;
    entry->writtenAt = now;
    entry->count = 0;
    if (times > 1)
        appendRepeated(text, times);
    else
        appendLog(text);
}

void reportMidiError(MMRESULT mmResult, unsigned id) {
    char errorText[128];
    MMRESULT textResult = id <= 99 ? midiInGetErrorTextA(mmResult, errorText, sizeof errorText)
                                   : midiOutGetErrorTextA(mmResult, errorText, sizeof errorText);
    if (textResult == MMSYSERR_NOERROR) {
        char line[kTextBufferSize];
        std::snprintf(line, sizeof line, "ID %u mmResult %u %s\n", id, mmResult, errorText);
        portLine(line);
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

// The driver has handed the header back: done, and out of its queue.
bool seenBack(const MIDIHDR& header) {
    return (header.dwFlags & MHDR_DONE) && !(header.dwFlags & MHDR_INQUEUE);
}

// The handle is closed, or the system knows it no longer: it is never called
// again. (Its buffers are back only if they were seen back.)
bool handleEnded(MMRESULT closeResult) {
    return closeResult == MMSYSERR_NOERROR || closeResult == MMSYSERR_INVALHANDLE;
}

InputPair& openPair() {
    return panel.inputPairs[static_cast<std::size_t>(panel.inputPair)];
}

// A pair that no handle holds and that no driver may still write into; -1
// when there is none.
int freeInputPair() {
    for (int i = 0; i < kInputPairCount; ++i) {
        InputPair& pair = panel.inputPairs[static_cast<std::size_t>(i)];
        if (pair.owner) continue;
        // A retired header comes back only when its driver marks it done.
        if (pair.heldA && seenBack(pair.headerA)) pair.heldA = false;
        if (pair.heldB && seenBack(pair.headerB)) pair.heldB = false;
        if (!pair.heldA && !pair.heldB) return i;
    }
    return -1;
}

void resetInputHeader(MIDIHDR& header, char* buffer) {
    header = MIDIHDR{};
    header.lpData = buffer;
    header.dwBufferLength = kInputBufferSize;
    header.dwFlags = 0;
}

MMRESULT queueInputBuffer(HMIDIIN input, MIDIHDR& header, bool& held) {
    MMRESULT result = midiInAddBuffer(input, &header, sizeof header);
    if (result == MMSYSERR_NOERROR) held = true;
    return result;
}

// A header of a closing input is back when it is unprepared or marked done.
void unprepareInput(HMIDIIN handle, MIDIHDR& header, bool& held, unsigned site) {
    if (succeeded(midiInUnprepareHeader(handle, &header, sizeof header), site) || seenBack(header))
        held = false;
}

// Resets and closes an input handle. The pair leaves the handle once the
// handle is closed or gone; a header still held then leaves it retired.
void closeInput(HMIDIIN handle, InputPair& pair) {
    succeeded(midiInReset(handle), kSiteInReset);
    unprepareInput(handle, pair.headerA, pair.heldA, kSiteInUnprepareA);
    unprepareInput(handle, pair.headerB, pair.heldB, kSiteInUnprepareB);
    MMRESULT result = midiInClose(handle);
    succeeded(result, kSiteInClose);
    if (handleEnded(result)) pair.owner = nullptr;
}

// Takes back the send slots of an output handle whose headers the driver has
// let go (seen done), unpreparing them.
void reclaimSlots(HMIDIOUT handle) {
    for (OutputSlot& slot : panel.outputSlots) {
        if (slot.owner != handle) continue;
        if (slot.held && seenBack(slot.header)) slot.held = false;
        if (slot.header.dwFlags & MHDR_INQUEUE) continue; // still in the driver's queue
        if (succeeded(midiOutUnprepareHeader(handle, &slot.header, sizeof(MIDIHDR)), kSiteOutUnprepare)) {
            slot.owner = nullptr;
            slot.held = false;
        }
    }
}

OutputSlot* freeSlot(HMIDIOUT handle) {
    reclaimSlots(handle);
    for (OutputSlot& slot : panel.outputSlots) {
        if (slot.owner) continue;
        if (slot.held && seenBack(slot.header)) slot.held = false; // retired, and its driver let go
        if (!slot.held) return &slot;
    }
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

// Resets and closes an output handle; true when it is closed or gone. Its
// slots then leave it; a header still held leaves its slot retired.
// LetFinish: no reset while a message is unfinished; the driver then refuses
// the close until it is done.
bool closeOutput(HMIDIOUT handle, UnfinishedOutput unfinished = UnfinishedOutput::Cut) {
    if (unfinished == UnfinishedOutput::Cut || !stillSending(handle))
        succeeded(midiOutReset(handle), kSiteOutReset);
    reclaimSlots(handle);
    MMRESULT result = midiOutClose(handle);
    succeeded(result, kSiteOutClose);
    if (!handleEnded(result)) return false;
    for (OutputSlot& slot : panel.outputSlots)
        if (slot.owner == handle) slot.owner = nullptr;
    return true;
}

bool slotNames(HMIDIOUT handle) {
    for (const OutputSlot& slot : panel.outputSlots)
        if (slot.owner == handle) return true;
    return false;
}

// An output handle whose close failed: a send slot that names it keeps it;
// otherwise it waits here (with no room, a handle that holds nothing of the
// panel's is not tried again).
void setOutputAside(HMIDIOUT handle) {
    if (slotNames(handle)) return;
    for (HMIDIOUT& entry : panel.abandonedOutputs)
        if (!entry) {
            entry = handle;
            return;
        }
}

// Handles whose close failed before: another try, so that their ports and
// buffers come free once the driver lets go. Runs before any new open.
void closeAbandonedHandles() {
    for (InputPair& pair : panel.inputPairs)
        if (pair.owner && pair.owner != panel.inputPort) closeInput(pair.owner, pair);
    for (HMIDIOUT& handle : panel.abandonedOutputs)
        if (handle && closeOutput(handle)) handle = nullptr;
    for (std::size_t i = 0; i < panel.outputSlots.size(); ++i) {
        HMIDIOUT handle = panel.outputSlots[i].owner;
        if (!handle || handle == panel.outputPort) continue;
        bool tried = false; // an earlier slot named it and its close failed again
        for (std::size_t k = 0; k < i; ++k)
            tried = tried || panel.outputSlots[k].owner == handle;
        if (!tried) closeOutput(handle);
    }
}

// The bounded wait for the driver to finish a header, without pumping
// messages, so that no receive handler runs inside a send.
void waitUntilDone(const MIDIHDR& header, DWORD limitMs) {
    DWORD start = GetTickCount();
    while (!(header.dwFlags & MHDR_DONE) && GetTickCount() - start < limitMs)
        Sleep(1);
}

// The held mark of a header of the open input's pair; null for any other.
bool* heldMark(const MIDIHDR* header) {
    InputPair& pair = openPair();
    if (header == &pair.headerA) return &pair.heldA;
    if (header == &pair.headerB) return &pair.heldB;
    return nullptr;
}

// A returned buffer counts when the open input queued it on its own handle
// and it is out of the driver's queue; it is then the panel's again.
bool takeBack(HMIDIIN handle, const MIDIHDR* header) {
    if (!panel.inputPort || handle != panel.inputPort) return false;
    bool* held = heldMark(header);
    if (!held || !*held || (header->dwFlags & MHDR_INQUEUE)) return false;
    *held = false;
    return true;
}

} // namespace

OpenResult openPorts(UINT inputDeviceId, UINT outputDeviceId) {
    closeAbandonedHandles();
    int pair = freeInputPair();
    if (pair < 0) {
        portLine("no free MIDI input buffers\n");
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
    resetInputHeader(buffers.headerA, buffers.bufferA);
    resetInputHeader(buffers.headerB, buffers.bufferB);
    // The first step that fails is the only one logged: then both ports close.
    bool receiving =
        succeeded(midiInPrepareHeader(input, &buffers.headerA, sizeof(MIDIHDR)), kSiteInPrepareA) &&
        succeeded(midiInPrepareHeader(input, &buffers.headerB, sizeof(MIDIHDR)), kSiteInPrepareB) &&
        succeeded(queueInputBuffer(input, buffers.headerA, buffers.heldA), kSiteInAddA) &&
        succeeded(queueInputBuffer(input, buffers.headerB, buffers.heldB), kSiteInAddB) &&
        succeeded(midiInStart(input), kSiteInStart);
    if (!receiving) {
        closePorts();
        return OpenResult::InputNotStarted;
    }

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
    if (!slot) {
        portLine("No free send slot\n");
    } else {
        std::memcpy(slot->bytes, bytes, length);
        MIDIHDR& header = slot->header;
        header = MIDIHDR{};
        header.lpData = reinterpret_cast<LPSTR>(slot->bytes);
        header.dwBufferLength = static_cast<DWORD>(length);
        header.dwFlags = 0;
        if (!failed(midiOutPrepareHeader(output, &header, sizeof header), kSiteOutPrepare)) {
            slot->owner = output;
            bool handedOver = !failed(midiOutLongMsg(output, &header, sizeof header), kSiteOutLongMsg);
            if (handedOver) {
                slot->held = true;
                waitUntilDone(header, wait.doneMs);
            }
            bool done = (header.dwFlags & MHDR_DONE) != 0;
            bool leftWithDriver = false;
            if (!done) {
                portLine(".dwFlags != MHDR_DONE\n");
                if (handedOver && wait.resetWhenLate)
                    failed(midiOutReset(output), kSiteOutSendReset); // hands the header back
                else
                    leftWithDriver = handedOver; // not cut: it stays the driver's until done
            }
            if (seenBack(header)) slot->held = false;
            // A header the driver still owns stays with its slot.
            if (!leftWithDriver &&
                !failed(midiOutUnprepareHeader(output, &header, sizeof header), kSiteOutUnprepare)) {
                slot->owner = nullptr;
                slot->held = false;
            }
            if (panel.sysExDump && !updateRunning()) dumpLine("-> ", bytes, length);
            if (handedOver && done) sent = SendResult::Sent;
        }
    }
    if (gone != MMSYSERR_NOERROR) connectionLost();
    return sent;
}

ReceivedSysEx receiveSysEx(HMIDIIN handle, MIDIHDR* header) {
    if (!takeBack(handle, header)) return {false, nullptr, 0};
    DWORD count = header->dwBytesRecorded;
    if (count > kInputBufferSize) count = kInputBufferSize;
    // Empty buffers come back from midiInReset in closePorts, and their
    // notifications arrive after the close: not taken back above. One handed
    // back empty while the input is open is simply queued again.
    return {true, reinterpret_cast<const uint8_t*>(header->lpData), count};
}

void requeueInput(HMIDIIN handle, MIDIHDR* header) {
    if (!panel.inputPort || panel.inputPort != handle) return; // the dispatch closed the input
    bool* held = heldMark(header);
    if (!held || *held) return; // not a buffer taken back from this open input
    MMRESULT result = queueInputBuffer(handle, *header, *held);
    if (result == MMSYSERR_NOERROR) return;
    reportMidiError(result, kSiteInRequeue);
    if (unitGone(result)) {
        connectionLost();
        return;
    }
    const InputPair& pair = openPair();
    char line[64];
    std::snprintf(line, sizeof line, "MIDI input buffer lost: %d of 2 still queued\n",
                  static_cast<int>(pair.heldA) + static_cast<int>(pair.heldB));
    portLine(line);
}

void receiveLongError(HMIDIIN handle, MIDIHDR* header) {
    if (takeBack(handle, header)) requeueInput(handle, header);
}

ShortMessage receiveShortMessage(HMIDIIN handle, DWORD_PTR message) {
    if (!panel.inputPort || handle != panel.inputPort) return {false, 0};
    uint8_t status = message & 0xFF;
    uint8_t data = (message >> 8) & 0xFF;
    return {status == 0xF1, data};
}
