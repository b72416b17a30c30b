// Firmware update procedure.
//
// Before anything goes to the unit the carried image is read through once
// (checkFirmwareImage); a build without an image, or a damaged one, says so
// in 115 and sends nothing.
//
// The update keeps the serial number of the unit it began on (updateSerial)
// and goes on with no other: an identity with another serial number fails it.
//
// updateState orders the steps; timer 2 advances them, timer 3 animates the
// progress bar through the two erase waits (kEraseTicks ticks of kEraseTickMs):
//   1  command 0x0B sent; the unit acknowledges with report 0x0C (to 2), or
//      after 200 ms without it the header goes out at once (to 6)
//   2  ports closed, "Erasing firmware ID" wait (to 3)
//   3  reconnect; the erased unit's identity moves on (to 5); ports that are
//      not open at a look every kReconnectCheckMs are looked for again (a
//      unit that re-enumerates late), until kReconnectTimeoutMs fails
//   5  header message sent, "Erasing code flash" wait (to 6)
//   6  records, a few per posted command 401 (kRecordsPerMessage, at most
//      kRecordMessageMs), in bursts of kRecordBurstMs with a breath on timer
//      2 between them so that timers (the link poll), input and painting are
//      not starved; after the last, the check (to 8)
//   8  "Checking firmware 3.01": the unit is asked for its identity every
//      kConfirmCheckMs (its ports opened again if they closed); its answer
//      with firmware 3.01 in report 0x0A within kConfirmTimeoutMs makes the
//      update done (to 7), any other answer or none fails it
//   7  "Firmware update done", 3 s pause, then the buttons come back and the
//      link is released (to 0)
// Every send waits up to kUpdateSendWaitMs for the driver and is never taken
// back with a reset (a reset can cut a record in the middle). A send that
// fails fails the update at once; a record that did not go out is never
// counted.
//
// Failures before anything was erased (before report 0x0C, or before the
// header when the unit never answered 0x0B) leave the unit as it was: "not
// started", the buttons back, the link as it is, UpdateOutcome::NotStarted.
// From the erase on every failure ends alike: the failure text, one log line
// with the records sent, state 0, the update's timers, the link poll and auto
// connect stopped and the ports closed (so nothing hides the failure again;
// a record still with the driver is let finish), the buttons left disabled.
// The step that failed returns UpdateOutcome::Failed, and the router shows
// the update layout (text and progress bar) whatever page was up.
#include "update.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <span>

#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../core/timer.h"
#include "../link/message_table.h"
#include "../link/midi_port.h"
#include "image.h"
#include "version.h"

#ifndef ZEMBRAX_MAKER_WEB_ADDRESS
#define ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example"
#endif

namespace {

constexpr int kUpdateButtons[] = {IDC_CONNECT, IDC_RELEASE, IDC_AUTO_CONNECT, IDC_UPDATE_FIRMWARE};

const char* const kUpdateHelp = "To update your zembrax firmware to version 3.0 you first\n"
                                "have to connect the unit to an Intel PC running windows 10 via USB.\n"
                                "Press Connect -> Update Firmware.\n"
                                "Your current settings will be copied into new user profile 4: User FW21.\n\n"
                                "After the firmware update your zembrax HD will be ready to connect to AMD "
                                "Ryzen as well as newest Apple M1 "
                                "hardware.\n\n"
                                "For new features of firmware 3.0 please refer to the\n\n"
                                "--- zembrax HD 3.0 update documentation ---\n\n"
                                "which can be downloaded from\n\n"
                                "---- " ZEMBRAX_MAKER_WEB_ADDRESS " ----";

void setUpdateText(const char* text) {
    SetDlgItemTextA(panel.window, IDC_UPDATE_TEXT, text);
}

void setProgress(int32_t position) {
    SendMessageA(control(IDC_UPDATE_PROGRESS), PBM_SETPOS, position, 0);
}

void enableButtons(bool enable) {
    for (int id : kUpdateButtons)
        EnableWindow(control(id), enable);
}

// The update's sends: patient with a slow driver, never cut by a reset.
constexpr SendWait kUpdateWait{kUpdateSendWaitMs, false};

// The next Connect advances deviceOrdinal: step it back so it opens the same unit.
void keepSameUnit() {
    if (panel.deviceOrdinal >= 1) --panel.deviceOrdinal;
}

// Connect to the same unit again (it asks for the identity itself).
void reconnect() {
    keepSameUnit();
    PostMessageA(panel.window, WM_COMMAND, IDC_CONNECT, 0);
}

int32_t recordsSent() {
    return panel.linesSent > 1 ? panel.linesSent - 1 : 0;
}

// The failure ending from the erase on. `reason`, when given, ends the log line.
UpdateOutcome fail(const char* reason = nullptr) {
    KillTimer(panel.window, kTimerUpdate);
    KillTimer(panel.window, kTimerProgress);
    // Nothing may take the failure off the screen: no poll that finds the
    // link gone, no auto connect that opens another layout.
    KillTimer(panel.window, kTimerPoll);
    KillTimer(panel.window, kTimerAutoConnect);
    SendMessageA(control(IDC_AUTO_CONNECT), BM_SETCHECK, BST_UNCHECKED, 0);
    if (anyPortOpen()) {
        closePorts(UnfinishedOutput::LetFinish); // a record still with the driver is not cut
        SetDlgItemTextA(panel.window, IDC_STATUS, "zembrax HD not connected");
    }
    panel.recordPosition = 0;
    panel.reconnectPending = false;
    panel.updateState = UpdatePhase::Idle;
    setUpdateText("Firmware update failed\nUnplug USB connection and close application");
    if (reason)
        logLine("zembrax H %04d firmware update failed after %d of %d records: %s", panel.updateSerial,
                recordsSent(), panel.imageLineCount - 1, reason);
    else
        logLine("zembrax H %04d firmware update failed after %d of %d records", panel.updateSerial,
                recordsSent(), panel.imageLineCount - 1);
    return UpdateOutcome::Failed;
}

// The ending of a failure before anything was erased: the unit is as it was,
// so the operator may try again at once.
UpdateOutcome notStarted(const char* reason) {
    KillTimer(panel.window, kTimerUpdate);
    KillTimer(panel.window, kTimerProgress);
    panel.recordPosition = 0;
    panel.linesSent = 0;
    panel.reconnectPending = false;
    panel.updateState = UpdatePhase::Idle;
    char text[128];
    std::snprintf(text, sizeof text, "Firmware update not started\n%s", reason);
    setUpdateText(text);
    logLine("zembrax H %04d firmware update not started: %s", panel.updateSerial, reason);
    enableButtons(true);
    return UpdateOutcome::NotStarted;
}

void startEraseWait() {
    panel.progressValue = 0;
    startTimer(kTimerProgress, kEraseTickMs);
}

UpdateOutcome sendHeader() {
    // Without report 0x0C nothing was erased until the header goes out.
    const bool erasing = panel.updateState == UpdatePhase::HeaderDue;
    setUpdateText("Erasing code flash\n");
    uint8_t* m = panel.recordMessage;
    m[0] = 0xF0;
    m[1] = 0x2C;
    std::memcpy(m + 2, panel.firmwareImage, kImageHeaderLength);
    m[2 + kImageHeaderLength] = 0xF7;
    if (sendSysEx(m, kImageHeaderLength + 3, kUpdateWait) != SendResult::Sent)
        return erasing ? fail() : notStarted("image header not sent");
    panel.updateState = UpdatePhase::Records;
    panel.linesSent = 1;
    panel.recordPosition = kImageHeaderLength + 1;
    m[2] = 0x7F;
    startEraseWait();
    return UpdateOutcome::GoesOn;
}

// Asks the unit for its identity. Ports that closed (the unit re-enumerated)
// are opened again instead: Connect asks then. A request the driver refused
// or kept goes out again at the next check.
void askUnit() {
    if (linkOpen()) {
        const MessageTemplate& ask = message(Msg::Identity);
        if (sendSysEx(ask.bytes.data(), ask.length, kUpdateWait) == SendResult::Sent || linkOpen()) return;
    }
    reconnect();
}

// After the last record: is the unit running 3.01 now?
void startCheck() {
    panel.recordPosition = 0;
    setUpdateText("Checking firmware 3.01\n");
    panel.updateState = UpdatePhase::Confirming;
    panel.unitChecks = 0;
    askUnit();
    startTimer(kTimerUpdate, kConfirmCheckMs);
}

void confirmed() {
    KillTimer(panel.window, kTimerUpdate);
    logLine("zembrax H %04d firmware update confirmed: unit reports firmware %04d", panel.updateSerial,
            panel.firmwareVersion);
    setUpdateText("Firmware update done\n");
    logLine("zembrax H %04d updated to firmware 3.01", panel.updateSerial);
    panel.updateState = UpdatePhase::Done;
    startTimer(kTimerUpdate, 3000);
}

// What an identity reply of the updated unit says that is not 3.01 in report 0x0A.
void describeFirmware(char* out, std::size_t size, UnitKind kind, uint8_t report) {
    if (kind == UnitKind::Erased)
        std::snprintf(out, size, "unit reports firmware deleted");
    else if (report != 0x0A)
        std::snprintf(out, size, "unit reports firmware %04d in report 0x%02X", panel.firmwareVersion,
                      report);
    else
        std::snprintf(out, size, "unit reports firmware %04d", panel.firmwareVersion);
}

UpdateOutcome notConfirmed(const char* reported) {
    logLine("zembrax H %04d firmware update not confirmed: %s", panel.updateSerial, reported);
    return fail();
}

// Why the carried image cannot be sent, in 115 and the log; nothing was sent.
void refuse(const char* reason) {
    setUpdateText(reason);
    logLine("zembrax H %04d firmware update not started: %s", panel.updateSerial, reason);
}

// Reads the carried image through; false (and why, shown) when it must not go out.
bool carriedImageSound() {
    if (!openFirmwareImage()) {
        refuse("This build carries no firmware image");
        return false;
    }
    ImageCheck check = checkFirmwareImage({panel.firmwareImage, panel.firmwareSize});
    char reason[64];
    switch (check.fault) {
    case ImageFault::None: panel.imageLineCount = check.lines; return true;
    case ImageFault::TooLarge:
        std::snprintf(reason, sizeof reason, "Firmware image damaged: too large");
        break;
    case ImageFault::Header: std::snprintf(reason, sizeof reason, "Firmware image damaged: header"); break;
    case ImageFault::Record:
        std::snprintf(reason, sizeof reason, "Firmware image damaged: record %d", check.record);
        break;
    case ImageFault::NoEndRecord:
        std::snprintf(reason, sizeof reason, "Firmware image damaged: no end-of-file record");
        break;
    case ImageFault::AfterEndRecord:
        std::snprintf(reason, sizeof reason, "Firmware image damaged: data after the end-of-file record");
        break;
    }
    refuse(reason);
    return false;
}

} // namespace

UpdateOutcome onUpdateFirmware() {
    if (updateRunning()) return UpdateOutcome::GoesOn; // one update at a time
    panel.updateSerial = panel.serialNumber;
    if (!carriedImageSound()) return UpdateOutcome::NotStarted;
    enableButtons(false);
    panel.recordPosition = 0;
    panel.linesSent = 0;
    setProgress(0);
    panel.updateState = UpdatePhase::AwaitingReply;
    panel.reconnectPending = false;
    logLine("zembrax H %04d firmware update started", panel.updateSerial);
    const MessageTemplate& begin = message(Msg::BeginUpdate);
    if (sendSysEx(begin.bytes.data(), begin.length, kUpdateWait) != SendResult::Sent)
        return notStarted("update request not sent");
    startTimer(kTimerUpdate, 200);
    return UpdateOutcome::GoesOn;
}

UpdateOutcome updateTick() {
    KillTimer(panel.window, kTimerUpdate);
    switch (panel.updateState) {
    case UpdatePhase::Accepted:
        setUpdateText("Erasing firmware ID\n");
        KillTimer(panel.window, kTimerPoll);
        closePorts();
        SetDlgItemTextA(panel.window, IDC_STATUS, "zembrax HD not connected");
        panel.updateState = UpdatePhase::Reconnecting;
        startEraseWait();
        break;
    case UpdatePhase::Reconnecting:
        if (!panel.reconnectPending) {
            reconnect();
            panel.reconnectPending = true;
            panel.unitChecks = 0;
        } else if (++panel.unitChecks * kReconnectCheckMs >= kReconnectTimeoutMs) {
            return fail(); // the erased unit never identified itself
        } else if (!linkOpen()) {
            reconnect(); // not there (yet), or its ports did not open: look again
        }
        startTimer(kTimerUpdate, kReconnectCheckMs);
        break;
    case UpdatePhase::AwaitingReply:
    case UpdatePhase::HeaderDue: return sendHeader();
    case UpdatePhase::Records:
        if (panel.linesSent == 1) setUpdateText("Programming firmware 3.01\nWriting to flash");
        panel.burstStart = GetTickCount();
        PostMessageA(panel.window, WM_COMMAND, IDC_SEND_NEXT_RECORD, 0);
        break;
    case UpdatePhase::Confirming:
        if (++panel.unitChecks * kConfirmCheckMs >= kConfirmTimeoutMs)
            return notConfirmed("no answer within 5 s");
        askUnit();
        startTimer(kTimerUpdate, kConfirmCheckMs);
        break;
    case UpdatePhase::Done:
        enableButtons(true);
        panel.updateState = UpdatePhase::Idle;
        keepSameUnit();
        PostMessageA(panel.window, WM_COMMAND, IDC_RELEASE, 0);
        break;
    case UpdatePhase::Idle: break;
    }
    return UpdateOutcome::GoesOn;
}

void progressTick() {
    ++panel.progressValue;
    setProgress(panel.progressValue);
    if (panel.progressValue >= kEraseTicks) {
        panel.progressValue = 0;
        KillTimer(panel.window, kTimerProgress);
        startTimer(kTimerUpdate, 1);
    }
}

namespace {

// Sends the record at recordPosition and counts it. Records: another is due.
// Failed: the update failed. Done: it was the last one.
enum class RecordStep { Next, Failed, Last };

RecordStep sendOneRecord() {
    const uint8_t* image = panel.firmwareImage;
    std::size_t start = panel.recordPosition;
    std::size_t end = start;
    while (end < panel.imageEnd && image[end] != kCarriageReturn)
        ++end;
    std::size_t length = end - start;
    // The image was checked before the update began; these cannot happen
    // with it, but a record is never sent past the image or the buffer.
    if (start >= panel.imageEnd || end >= panel.imageEnd || length + 4 > kRecordMessageSize) {
        fail();
        return RecordStep::Failed;
    }
    std::memcpy(panel.recordMessage + 3, image + start, length);
    panel.recordMessage[3 + length] = 0xF7;
    if (sendSysEx(panel.recordMessage, length + 4, kUpdateWait) != SendResult::Sent) {
        fail();
        return RecordStep::Failed;
    }
    panel.recordPosition = end + 1;

    int32_t percent = panel.linesSent * 100 / panel.imageLineCount;
    if (percent != panel.progressValue) {
        panel.progressValue = percent;
        setProgress(percent + 5);
    }
    ++panel.linesSent;
    if (panel.linesSent < panel.imageLineCount) return RecordStep::Next;
    // Done only when the whole image went out: nothing after the last line.
    if (panel.recordPosition != panel.imageEnd || panel.imageEnd != panel.firmwareSize) {
        fail();
        return RecordStep::Failed;
    }
    startCheck();
    return RecordStep::Last;
}

} // namespace

UpdateOutcome sendNextRecord() {
    // A stale post after a failure or the close.
    if (panel.updateState != UpdatePhase::Records || !panel.firmwareImage) return UpdateOutcome::GoesOn;
    // The progress bar paints itself at once on every new position, which
    // cost more than the records themselves. While one command sends its
    // records the bar takes its positions with redraw off, and is painted
    // once afterwards (in the breath between bursts: posted commands come
    // before painting). Redraw off hides the bar's style bit; the bar is
    // visible throughout state 6, and a failure shows it again.
    HWND bar = control(IDC_UPDATE_PROGRESS);
    const bool barShown = (GetWindowLongA(bar, GWL_STYLE) & WS_VISIBLE) != 0;
    if (barShown) SendMessageA(bar, WM_SETREDRAW, FALSE, 0);
    const DWORD start = GetTickCount();
    RecordStep step = RecordStep::Next;
    for (int records = 0; step == RecordStep::Next && records < kRecordsPerMessage &&
                          GetTickCount() - start < kRecordMessageMs;
         ++records)
        step = sendOneRecord();
    if (barShown) {
        SendMessageA(bar, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(bar, nullptr, TRUE);
    }
    switch (step) {
    case RecordStep::Failed: return UpdateOutcome::Failed;
    case RecordStep::Last: return UpdateOutcome::GoesOn;
    case RecordStep::Next: break;
    }
    if (GetTickCount() - panel.burstStart < kRecordBurstMs)
        PostMessageA(panel.window, WM_COMMAND, IDC_SEND_NEXT_RECORD, 0);
    else
        startTimer(kTimerUpdate, 1); // a breath, then the next burst
    return UpdateOutcome::GoesOn;
}

void onUpdateReply() {
    if (panel.updateState == UpdatePhase::AwaitingReply) panel.updateState = UpdatePhase::Accepted;
}

IdentityTaken onUpdateIdentity(UnitKind kind, uint8_t report) {
    char reported[64];
    const bool otherUnit = panel.serialNumber != panel.updateSerial;
    if (otherUnit)
        std::snprintf(reported, sizeof reported, "another unit answered: H %04d", panel.serialNumber);
    switch (panel.updateState) {
    case UpdatePhase::Reconnecting:
        if (otherUnit) {
            fail(reported); // nothing more goes to that unit: its ports close
            return IdentityTaken::Failed;
        }
        if (kind != UnitKind::Erased)
            return IdentityTaken::GoesOn; // not erased yet: waits on to the time-out
        panel.updateState = UpdatePhase::HeaderDue;
        panel.reconnectPending = false;
        startTimer(kTimerUpdate, 1);
        return IdentityTaken::GoesOn;
    case UpdatePhase::Confirming:
        if (!otherUnit) {
            if (kind == UnitKind::Operable) {
                confirmed();
                return IdentityTaken::GoesOn;
            }
            describeFirmware(reported, sizeof reported, kind, report);
        }
        notConfirmed(reported);
        return IdentityTaken::Failed;
    case UpdatePhase::Done: return IdentityTaken::GoesOn; // confirmed already: nothing changes
    case UpdatePhase::Idle:
    case UpdatePhase::AwaitingReply:
    case UpdatePhase::Accepted:
    case UpdatePhase::HeaderDue:
    case UpdatePhase::Records: break;
    }
    return IdentityTaken::NotAwaited;
}

UpdateOutcome onUpdateConnectionLost() {
    switch (panel.updateState) {
    case UpdatePhase::AwaitingReply: return notStarted("MIDI connection lost");
    case UpdatePhase::HeaderDue:
    case UpdatePhase::Records: return fail();
    case UpdatePhase::Idle:
    case UpdatePhase::Accepted:     // the ports close for the erase anyway
    case UpdatePhase::Reconnecting: // the next look opens them again
    case UpdatePhase::Confirming:   // the next check opens them again
    case UpdatePhase::Done: break;
    }
    return UpdateOutcome::GoesOn;
}

bool updateNeedsTheUnit() {
    switch (panel.updateState) {
    case UpdatePhase::Idle:
    case UpdatePhase::Confirming:
    case UpdatePhase::Done: return false;
    case UpdatePhase::AwaitingReply:
    case UpdatePhase::Accepted:
    case UpdatePhase::Reconnecting:
    case UpdatePhase::HeaderDue:
    case UpdatePhase::Records: return true;
    }
    return false;
}

void noteUpdate(UpdateNote note) {
    const int32_t total = panel.imageLineCount - 1;
    switch (note) {
    case UpdateNote::SessionEndRefused:
        logLine("zembrax H %04d firmware update in progress: end of Windows session refused",
                panel.updateSerial);
        return;
    case UpdateNote::Interrupted:
        logLine("zembrax H %04d firmware update interrupted after %d of %d records", panel.updateSerial,
                recordsSent(), total);
        return;
    case UpdateNote::Abandoned:
        logLine("zembrax H %04d firmware update abandoned after %d of %d records", panel.updateSerial,
                recordsSent(), total);
        return;
    }
}

void logFirmwareKind() {
    char kind[64];
    describeFirmwareKind(kind, sizeof kind);
    logLine("firmware image: %s", kind);
}

void onUpdateHelp() {
    char kind[64];
    describeFirmwareKind(kind, sizeof kind);
    char text[1024];
    std::snprintf(text, sizeof text, "%s\n\n" ZEMBRAX_VERSION_LINE "\nFirmware image: %s", kUpdateHelp, kind);
    MessageBoxA(panel.window, text, "   Firmware 3.0", MB_OK);
}

void releaseFirmwareImage() {
    if (panel.firmwareResource) FreeResource(panel.firmwareResource);
    panel.firmwareResource = nullptr;
    panel.firmwareImage = nullptr;
    panel.firmwareSize = 0;
}
