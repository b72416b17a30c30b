// MTC reader.
//
// The watchdog (timer 4, 50 ms) counts its ticks since the last piece 7 and
// declares MTC absent on the fifth. Absent, there is nothing left for it to
// count, so it stops its timer then and the next piece 7 starts it again: a
// panel connected to a unit without time code does not wake twenty times a
// second for nothing.
#include "mtc_reader.h"

#include <cstdio>
#include <cstring>

#include "../core/clock.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../core/timer.h"
#include "../link/message_table.h"

namespace {

constexpr UINT kWatchdogPeriodMs = 50;

// Rate labels by rate code (24, 25, 30 drop-frame, 30).
constexpr const char* kReaderLabels[4] = {"fo 24", "fo 25", "fo DF", "fo 30"};
constexpr const char* kLabels[4] = {"24 fps", "25 fps", "29.97 DF", "30 fps"};
constexpr const char* kPulledDownLabels[4] = {"23.98 fps", "25 fps", "29.97 DF", "29.97 fps"};

void setRateText(const char* label) {
    std::strncpy(panel.mtcRateText, label, sizeof panel.mtcRateText - 1);
    panel.mtcRateText[sizeof panel.mtcRateText - 1] = 0;
}

void showTime(int hours, int minutes, int seconds, int frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d %s", hours, minutes, seconds, frames,
                  panel.mtcRateText);
    SetDlgItemTextA(panel.window, IDC_MTC_DISPLAY, text);
}

constexpr int kSecondsPerDay = 24 * 60 * 60;

// How many seconds the PC time of day is ahead of the time code in the
// registers, modulo 24 hours (0 to 86399), so that midnight and every minute
// and hour rollover between the two clocks count like any other second. -1
// when the registers name no time of day.
int secondsAhead(const SYSTEMTIME& pc) {
    int hours = panel.mtcHours & 0x1F;
    if (hours > 23 || panel.mtcMinutes > 59 || panel.mtcSeconds > 59) return -1;
    int pcSeconds = (pc.wHour * 60 + pc.wMinute) * 60 + pc.wSecond;
    int codeSeconds = (hours * 60 + panel.mtcMinutes) * 60 + panel.mtcSeconds;
    return ((pcSeconds - codeSeconds) % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
}

// At frame 0 or 1 of a second: how far the PC clock (read at piece 0) is from
// the second that this frame begins. The registers still hold the second before.
void checkClock() {
    const SYSTEMTIME& pc = panel.pieceZeroTime;
    int ahead = secondsAhead(pc);
    char text[64];
    if (ahead == 0) { // the PC clock has not yet reached the second this frame begins
        std::snprintf(text, sizeof text, "MTC frame %02d\nerror + %03d ms", panel.mtcFrames,
                      1000 - pc.wMilliseconds);
        panel.mtcErrorCount = 0;
    } else if (ahead == 1) { // the PC clock is in that second already
        std::snprintf(text, sizeof text, "MTC frame %02d\nerror - %03d ms", panel.mtcFrames,
                      pc.wMilliseconds);
        panel.mtcErrorCount = 0;
    } else {
        std::snprintf(text, sizeof text, "MTC frame %02d\nerror > 1 second", panel.mtcFrames);
        if (panel.mtcErrorCount <= 3) ++panel.mtcErrorCount;
        if (SendMessageA(control(IDC_AUTO_JAM), BM_GETCHECK, 0, 0) == BST_CHECKED && !updateRunning() &&
            panel.mtcErrorCount > 3 && !panel.ltcReaderMode)
            PostMessageA(panel.window, WM_COMMAND, IDC_JAM_SYSTEM_TIME, 1);
    }
    // At 25 fps the seconds begin alternately on frame 0 and frame 1: show
    // frame-1 checks only when the one before was at frame 1 too.
    if (panel.mtcFrames == 0) {
        SetDlgItemTextA(panel.window, IDC_MTC_ERROR, text);
        panel.lastCheckAtFrameOne = false;
    } else {
        if (panel.lastCheckAtFrameOne) SetDlgItemTextA(panel.window, IDC_MTC_ERROR, text);
        panel.lastCheckAtFrameOne = true;
    }
}

void completeCycle(int rateCode) {
    if (panel.ltcReaderMode)
        setRateText(kReaderLabels[rateCode]);
    else
        setRateText(panel.pullDown ? kPulledDownLabels[rateCode] : kLabels[rateCode]);
    showTime(panel.mtcHours, panel.mtcMinutes, panel.mtcSeconds, panel.mtcFrames);
    if (panel.mtcWatchdog == kMtcAbsent) { // back after an absence: ask for the mode, watch again
        sendMessage(Msg::MmcRead);
        startTimer(kTimerMtcWatchdog, kWatchdogPeriodMs);
    }
    panel.mtcWatchdog = 0;
}

// The high piece of a register replaces its high bits: a repeated or
// out-of-order piece cannot push the register past 63 (31 for the hours).
uint8_t withHighBits(uint8_t reg, uint8_t high) {
    return static_cast<uint8_t>((reg & 0x0F) | high << 4);
}

} // namespace

void decodeQuarterFrame(uint8_t data) {
    uint8_t v = data & 0x0F;
    switch (data >> 4) {
    case 0:
        panel.mtcFrames = v;
        panel.pieceZeroTime = readLocalTime();
        break;
    case 1:
        panel.mtcFrames = withHighBits(panel.mtcFrames, v & 3);
        if (panel.mtcFrames <= 1) checkClock();
        break;
    case 2: panel.mtcSeconds = v; break;
    case 3: panel.mtcSeconds = withHighBits(panel.mtcSeconds, v & 3); break;
    case 4: panel.mtcMinutes = v; break;
    case 5: panel.mtcMinutes = withHighBits(panel.mtcMinutes, v & 3); break;
    case 6: panel.mtcHours = v; break;
    case 7:
        panel.mtcHours = withHighBits(panel.mtcHours, v & 1);
        completeCycle((v >> 1) & 3);
        break;
    default: break; // data bytes are 7-bit: no other piece
    }
}

void showFullFrame(const uint8_t* b, std::size_t count) {
    if (count < kFullFrameLength) return;
    int rateCode = (b[5] & 0x60) >> 5;
    if (panel.rateTextRequest) {
        setRateText(panel.pullDown ? kPulledDownLabels[rateCode] : kLabels[rateCode]);
        panel.rateTextRequest = false;
        if (rateCode == 0 || rateCode == 3) panel.pullDown = false;
    } else {
        setRateText(kReaderLabels[rateCode]);
    }
    showTime(b[5] & 0x1F, b[6], b[7], b[8]);
}

void mtcWatchdogTick() {
    if (panel.mtcWatchdog == 4) {
        SetDlgItemTextA(panel.window, IDC_MTC_MODE, " ");
        panel.pullDown = false;
        panel.ltcReaderMode = false;
        SetDlgItemTextA(panel.window, IDC_MTC_ERROR, "no MTC present");
        panel.mtcWatchdog = kMtcAbsent;
        KillTimer(panel.window, kTimerMtcWatchdog);
    } else if (panel.mtcWatchdog < 4) {
        ++panel.mtcWatchdog;
    }
}

void setPullDown(bool pulledDown) {
    panel.pullDown = pulledDown;
}

void requestRateText() {
    panel.rateTextRequest = true;
}

void setLtcReaderMode(bool readerMode) {
    panel.ltcReaderMode = readerMode;
}

void resetClockErrors() {
    panel.mtcErrorCount = 0;
}
