// Router of received messages and of what the floors below report.
//
// How a message travels. The driver posts MM_MIM_LONGDATA to the window; the
// dialog procedure (app/main_panel.cpp) asks the port layer for the buffer's
// bytes (link/midi_port.h: receiveSysEx), hands them to dispatchSysEx here,
// then gives the buffer back to the driver (requeueInput). dispatchSysEx tests
// in a fixed order and the first test that decides ends the dispatch: the
// final 0xF7, the dump line, the 0xF0, then device reports by their report
// byte and universal real-time messages (MMC response, MTC full frame) by
// their sub-IDs, each handed down to the page, the connection or the update
// that owns it. Quarter frames (MM_MIM_DATA) take the same road to the MTC
// reader. Nothing below calls back up: the connection and the update return
// what happened, and this file shows the layout that follows.
//
// The identity reply is decoded by the link layer; what follows from it is
// decided here: a running firmware update that waits for the unit takes it
// first (the erased unit at the reconnect, the unit's firmware after the last
// record); otherwise an operable unit gets its page, the MTC watchdog and the
// request sequence, any other one gets the update layout.
#include "router.h"

#include "../firmware/update.h"
#include "../link/connection.h"
#include "../link/event_reports.h"
#include "../link/message_table.h"
#include "../pages/calibration.h"
#include "../pages/mtc_reader.h"
#include "../pages/profiles.h"
#include "../pages/settings.h"
#include "../pages/transport.h"
#include "../pages/unit_config.h"
#include "../core/log.h"
#include "pages.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../core/timer.h"

namespace {

void showUpdateLayout() {
    panel.pageMode = PageMode::UpdateNeeded;
    showPage(PageMode::UpdateNeeded);
}

// A failed update shows its failure text and progress bar whatever page was
// up; a link it found lost on the way does not take them off the screen.
void followUpdate(UpdateOutcome outcome) {
    switch (outcome) {
    case UpdateOutcome::Failed:
        takeLinkLost();
        showPage(PageMode::UpdateNeeded);
        return;
    case UpdateOutcome::GoesOn:
    case UpdateOutcome::NotStarted: return; // 115 says why it did not start
    }
}

void handleIdentity(const uint8_t* bytes, std::size_t count) {
    if (count < kIdentityLength) return;
    UnitKind kind = identifyUnit(bytes);
    refreshUserOffsetText(); // its factor depends on the serial number just read
    switch (onUpdateIdentity(kind, bytes[4])) {
    case IdentityTaken::GoesOn: return;
    case IdentityTaken::Failed: followUpdate(UpdateOutcome::Failed); return;
    case IdentityTaken::NotAwaited: break;
    }
    switch (kind) {
    case UnitKind::Erased: showUpdateLayout(); return;
    case UnitKind::Operable:
        if (panel.startOnTimeCodePage)
            panel.pageMode = PageMode::TimeCode;
        else if (panel.pageMode == PageMode::UpdateNeeded)
            panel.pageMode = PageMode::Settings;
        showPage(panel.pageMode);
        startTimer(kTimerMtcWatchdog, 50);
        panel.mtcWatchdog = 0;
        SetDlgItemTextA(panel.window, IDC_MTC_MODE, "");
        panel.jamState = JamState::Idle;
        sendMessage(Msg::MmcRead); // a failure is in the log; the MTC mode then stays blank
        startQuerySequence();
        return;
    case UnitKind::NeedsUpdate: showUpdateLayout(); return;
    }
}

// The page shows the name; the unit configuration notes that it came.
void handleProfileName(int slot, const uint8_t* bytes, std::size_t count) {
    onProfileNameReport(slot, bytes, count);
    noteProfileNameReport(slot, count);
}

void dispatchDeviceReport(const uint8_t* bytes, std::size_t count) {
    if (count < 6 || bytes[2] != 0x5A || bytes[3] != 0x42) return;
    switch (bytes[4]) {
    case 0x02:
    case 0x08:
    case 0x0A: handleIdentity(bytes, count); return;
    case 0x0C: onUpdateReply(); return;
    case 0x41:
        onSettingsReport(bytes, count);
        noteSettingsReport(bytes, count);
        return;
    case 0x51:
        switch (bytes[5]) {
        case 0x0A: handleProfileName(0, bytes, count); return;
        case 0x1E: handleProfileName(1, bytes, count); return;
        case 0x32: handleProfileName(2, bytes, count); return;
        case 0x68: handleProfileName(3, bytes, count); return;
        case 0x40: onOscillatorReport(bytes, count); return;
        default: return;
        }
    case 0x57:
        onCalibrationReport(bytes, count);
        noteCalibrationReport(bytes, count);
        return;
    case 0x61: handleSyncReport(bytes, count); return;
    default: return;
    }
}

} // namespace

void dispatchSysEx(const uint8_t* bytes, std::size_t count) {
    if (count < 1 || bytes[count - 1] != 0xF7) return;
    if (panel.sysExDump && !updateRunning()) dumpLine("<- ", bytes, count);
    if (bytes[0] != 0xF0 || count < 2) return;

    if (bytes[1] == 0x2C) {
        dispatchDeviceReport(bytes, count);
        return;
    }
    if (bytes[1] == 0x7F) {
        if (count >= 6 && bytes[2] == 0x00 && bytes[3] == 0x07 && bytes[4] == 0x46 && bytes[5] == 0x01)
            onMmcResponse(bytes, count);
        else if (count >= 5 && bytes[2] == 0x7F && bytes[3] == 0x01 && bytes[4] == 0x01)
            showFullFrame(bytes, count);
    }
}

void dispatchQuarterFrame(uint8_t data) {
    decodeQuarterFrame(data);
}

void onConnectCommand(bool automatic) {
    switch (connectUnit(automatic)) {
    case ConnectResult::Waiting:
    case ConnectResult::Lost:
    case ConnectResult::NoInputs:
    case ConnectResult::NoMatchingInput:
    case ConnectResult::NoOutputs:
    case ConnectResult::NoMatchingOutput:
    case ConnectResult::InputBusy:
    case ConnectResult::InputNotStarted:
    case ConnectResult::OutputBusy:
        // No unit is identified yet whatever the result (the status text says
        // which): the page comes with the identity reply. While the update
        // waits for the unit its layout stays, and it looks at the ports
        // itself.
        if (!updateAwaitsTheUnit()) showPage(PageMode::NotConnected);
        break;
    }
}

void onReleaseCommand() {
    releaseUnit();
    showPage(PageMode::NotConnected);
    followUpdate(onUpdateConnectionLost());
}

void onPollTimer() {
    if (pollConnection() == LinkCheck::Alive) return;
    takeLinkLost();
    if (!updateAwaitsTheUnit()) showPage(PageMode::NotConnected);
    followUpdate(onUpdateConnectionLost());
}

void onUpdateFirmwareCommand() {
    // Only the update layout's button with the unit's ports open starts an
    // update; a 223 posted at any other time does nothing.
    if (!updateLayoutShown() || !linkOpen()) return;
    followUpdate(onUpdateFirmware());
}

void onSendNextRecordCommand() {
    followUpdate(sendNextRecord());
}

void onUpdateTimer() {
    followUpdate(updateTick());
}

void followLostLink() {
    if (takeLinkLost() && !updateAwaitsTheUnit()) showPage(PageMode::NotConnected);
}
