// Firmware update procedure.
//
// updateState orders the steps; timer 2 advances them, timer 3 animates the
// progress bar through the two erase waits (110 ticks of 40 ms):
//   1  command 0x0B sent; the unit acknowledges with report 0x0C (to 2), or
//      after 200 ms without it the header goes out at once (to 6)
//   2  ports closed, "Erasing firmware ID" wait (to 3)
//   3  reconnect; the erased unit's identity moves on (to 5), or after
//      kReconnectTimeoutMs without it the update fails
//   5  header message sent, "Erasing code flash" wait (to 6)
//   6  records, one posted command 401 each; after the last, done (to 7)
//   7  3 s pause, then the buttons come back and the link is released (to 0)
// Every failure ends alike: the failure text, state 0, timers 2 and 3
// stopped, the position back at the image's start, the buttons left disabled.
#include "update.h"

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <span>

#include "../app/log.h"
#include "../app/panel.h"
#include "../app/resources/resource.h"
#include "../app/timer.h"
#include "../link/message_table.h"
#include "../link/midi_port.h"
#include "image.h"

#ifndef ZEMBRAX_MAKER_WEB_ADDRESS
#define ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example"
#endif

namespace {

constexpr int kUpdateButtons[] = {IDC_CONNECT, IDC_RELEASE, IDC_AUTO_CONNECT, IDC_UPDATE_FIRMWARE};
constexpr int32_t kEraseTicks = 110;

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

// The next Connect advances deviceOrdinal: step it back so it opens the same unit.
void keepSameUnit() {
    if (panel.deviceOrdinal >= 1) --panel.deviceOrdinal;
}

void fail() {
    KillTimer(panel.window, kTimerUpdate);
    KillTimer(panel.window, kTimerProgress);
    panel.recordPosition = 0;
    panel.reconnectPending = false;
    panel.updateState = 0;
    setUpdateText("Firmware update failed\nUnplug USB connection and close application");
}

void startEraseWait() {
    panel.progressValue = 0;
    startTimer(kTimerProgress, 40);
}

void sendHeader() {
    setUpdateText("Erasing code flash\n");
    uint8_t* m = panel.recordMessage;
    m[0] = 0xF0;
    m[1] = 0x2C;
    std::memcpy(m + 2, panel.firmwareImage, kImageHeaderLength);
    m[2 + kImageHeaderLength] = 0xF7;
    sendSysEx(m, kImageHeaderLength + 3);
    panel.updateState = 6;
    panel.linesSent = 1;
    panel.recordPosition = kImageHeaderLength + 1;
    m[2] = 0x7F;
    startEraseWait();
}

void finish() {
    panel.recordPosition = 0;
    setUpdateText("Firmware update done\n");
    panel.updateState = 7;
    startTimer(kTimerUpdate, 3000);
}

} // namespace

void onUpdateFirmware() {
    enableButtons(false);
    if (!openFirmwareImage()) {
        fail();
        return;
    }
    std::span<const uint8_t> image(panel.firmwareImage, panel.firmwareSize);
    panel.recordPosition = 0;
    panel.imageLineCount = countImageLines(image);
    // A header line and at least one record, within the image's end.
    if (panel.imageEnd <= kImageHeaderLength || image[kImageHeaderLength] != kCarriageReturn ||
        panel.imageLineCount < 2) {
        fail();
        return;
    }
    setProgress(0);
    panel.updateState = 1;
    panel.reconnectPending = false;
    sendMessage(Msg::BeginUpdate);
    startTimer(kTimerUpdate, 200);
}

void updateTick() {
    KillTimer(panel.window, kTimerUpdate);
    switch (panel.updateState) {
    case 2:
        setUpdateText("Erasing firmware ID\n");
        KillTimer(panel.window, kTimerPoll);
        closePorts();
        SetDlgItemTextA(panel.window, IDC_STATUS, "zembrax HD not connected");
        panel.updateState = 3;
        startEraseWait();
        break;
    case 3:
        if (panel.reconnectPending) { // the erased unit never came back
            fail();
            break;
        }
        keepSameUnit();
        PostMessageA(panel.window, WM_COMMAND, IDC_CONNECT, 0);
        panel.reconnectPending = true;
        startTimer(kTimerUpdate, kReconnectTimeoutMs);
        break;
    case 1:
    case 5: sendHeader(); break;
    case 6:
        setUpdateText("Programming firmware 3.01\nWriting to flash");
        PostMessageA(panel.window, WM_COMMAND, IDC_SEND_NEXT_RECORD, 0);
        break;
    case 7:
        enableButtons(true);
        panel.updateState = 0;
        keepSameUnit();
        PostMessageA(panel.window, WM_COMMAND, IDC_RELEASE, 0);
        logLine("zembrax H %04d updated to firmware 3.01", panel.serialNumber);
        break;
    default: break; // 0 and 4: nothing
    }
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

void sendNextRecord() {
    if (panel.updateState != 6) return; // a stale post after a failure
    if (!panel.outputPort) {            // the link went away under the records
        fail();
        return;
    }
    const uint8_t* image = panel.firmwareImage;
    std::size_t start = panel.recordPosition;
    std::size_t end = start;
    while (end < panel.imageEnd && image[end] != kCarriageReturn)
        ++end;
    std::size_t length = end - start;
    // Nothing left, a last line without its CR, or a record the buffer cannot hold.
    if (start >= panel.imageEnd || end >= panel.imageEnd || length + 4 > kRecordMessageSize) {
        fail();
        return;
    }
    std::memcpy(panel.recordMessage + 3, image + start, length);
    panel.recordMessage[3 + length] = 0xF7;
    sendSysEx(panel.recordMessage, length + 4);
    panel.recordPosition = end + 1;

    int32_t percent = panel.linesSent * 100 / panel.imageLineCount;
    if (percent != panel.progressValue) {
        panel.progressValue = percent;
        setProgress(percent + 5);
    }
    ++panel.linesSent;
    if (panel.linesSent < panel.imageLineCount) {
        PostMessageA(panel.window, WM_COMMAND, IDC_SEND_NEXT_RECORD, 0);
        return;
    }
    // Done only when the whole image went out: nothing after the last line,
    // and no 0xFF byte cut the image short.
    if (panel.recordPosition == panel.imageEnd && panel.imageEnd == panel.firmwareSize)
        finish();
    else
        fail();
}

void onUpdateReply() {
    if (panel.updateState == 1) panel.updateState = 2;
}

bool onErasedUnitIdentified() {
    if (panel.updateState != 3) return false;
    panel.updateState = 5;
    panel.reconnectPending = false;
    startTimer(kTimerUpdate, 1);
    return true;
}

void onUpdateConnectionLost() {
    if (panel.updateState == 5 || panel.updateState == 6) fail();
}

void onUpdateHelp() {
    MessageBoxA(panel.window, kUpdateHelp, "   Firmware 3.0", MB_OK);
}

void releaseFirmwareImage() {
    if (panel.firmwareResource) FreeResource(panel.firmwareResource);
    panel.firmwareResource = nullptr;
    panel.firmwareImage = nullptr;
    panel.firmwareSize = 0;
}
