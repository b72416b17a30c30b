// Transport and time sync: MMC locate, play and stop, jam to the unit's LTC
// reader, the PC clock display, and the jam to the PC clock with its triggers.
//
// The jam runs on the clock tick: a request arms it (state 1); the next tick,
// 80 ms into second S, locates the unit to S + 1 (state 2); the tick after,
// 20 ms before S + 1 begins, starts it playing (state 3).
#include "transport.h"

#include <array>
#include <cstdio>

#include "../core/clock.h"
#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../core/timer.h"
#include "../link/message_table.h"
#include "mtc_reader.h"
#include "settings.h"

namespace {

constexpr std::array kLocateRates = {"24 FPS", "25 FPS", "29.97 DF", "30 FPS", "23.98 FPS", "29.97 FPS"};

// Marker in the LOCATE hours byte of a jam whose standard has no time-code rate.
constexpr uint8_t kNoRate = 0x7F;

constexpr std::size_t kHoursByte = 7;
constexpr std::size_t kModeResponseLength = 8;

void addSecond(SYSTEMTIME& t) {
    if (++t.wSecond < 60) return;
    t.wSecond = 0;
    if (++t.wMinute < 60) return;
    t.wMinute = 0;
    if (++t.wHour >= 24) t.wHour = 0;
}

SendResult sendPlay(uint8_t mode) {
    SendResult played = sendWithItem(Msg::PlayMode, mode);
    return firstFailure(played, sendMessage(Msg::MmcPlay));
}

void locate() {
    int h = static_cast<int>(GetDlgItemInt(panel.window, IDC_LOCATE_HOURS, nullptr, TRUE));
    int m = static_cast<int>(GetDlgItemInt(panel.window, IDC_LOCATE_MINUTES, nullptr, TRUE));
    int s = static_cast<int>(GetDlgItemInt(panel.window, IDC_LOCATE_SECONDS, nullptr, TRUE));
    uint8_t hours;
    if (panel.locateRateIndex == 4) {
        hours = h & 0x1F;
        setPullDown(true);
    } else if (panel.locateRateIndex == 5) {
        hours = (h & 0x1F) | 0x60;
        setPullDown(true);
    } else {
        hours = static_cast<uint8_t>(((panel.locateRateIndex & 3) << 5) | (h & 0x1F));
    }
    patchByte(Msg::MmcLocate, kHoursByte, hours);
    patchByte(Msg::MmcLocate, 8, m & 0x3F);
    patchByte(Msg::MmcLocate, 9, s & 0x3F);
    sendMessage(Msg::MmcLocate);
    if (!panel.ltcReaderMode) requestRateText();
}

void stop() {
    sendMessage(Msg::MmcStop);
    if (panel.mtcWatchdog <= 4 && !panel.ltcReaderMode) requestRateText();
}

void jamSystemTime() {
    if (panel.ltcReaderMode) return;
    panel.jamState = JamState::Armed;
    resetClockErrors();
}

// The LOCATE hours byte for the selected HD standard; kNoRate when it has no
// time-code rate or when no standard is selected.
uint8_t jamHoursByte(int hour) {
    LRESULT index = SendMessageA(control(IDC_HD_STANDARD), LB_GETCURSEL, 0, 0);
    if (index < 0) return kNoRate;
    switch (hdCodeOfIndex(static_cast<int>(index)) % 5) {
    case 1: return static_cast<uint8_t>(hour);
    case 2: return static_cast<uint8_t>(hour | 0x20);
    case 3: return static_cast<uint8_t>(hour | 0x40);
    case 4: return static_cast<uint8_t>(hour | 0x60);
    default: return kNoRate; // 23.98 and 47.95: no time-code rate
    }
}

void locateForJam() {
    SYSTEMTIME target = panel.clockTime;
    addSecond(target);
    uint8_t hours = jamHoursByte(target.wHour);
    patchByte(Msg::MmcLocate, kHoursByte, hours);
    if (hours == kNoRate || panel.ltcReaderMode) {
        panel.jamState = JamState::Idle;
        return;
    }
    patchByte(Msg::MmcLocate, 8, static_cast<uint8_t>(target.wMinute));
    patchByte(Msg::MmcLocate, 9, static_cast<uint8_t>(target.wSecond));
    patchByte(Msg::MmcLocate, 10, 0);
    setPullDown(false);
    panel.jamLocateResult = sendMessage(Msg::MmcLocate);
    requestRateText();
    panel.jamState = JamState::Located;
}

bool ticked(int id) {
    return SendMessageA(control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void testAutomaticTriggers() {
    bool allowed = !updateRunning() && linkOpen() && !panel.ltcReaderMode;
    if (allowed && ticked(IDC_AUTO_JAM) && panel.mtcWatchdog == kMtcAbsent)
        PostMessageA(panel.window, WM_COMMAND, IDC_JAM_SYSTEM_TIME, 1);
    const SYSTEMTIME& t = panel.clockTime;
    if (allowed && ticked(IDC_DAILY_JAM) && t.wSecond == 0 && t.wHour == panel.dailyJamHour &&
        t.wMinute == panel.dailyJamMinute)
        PostMessageA(panel.window, WM_COMMAND, IDC_JAM_SYSTEM_TIME, 1);
}

} // namespace

void fillLocateRateList() {
    HWND list = control(IDC_LOCATE_RATE);
    for (const char* entry : kLocateRates)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    SendMessageA(list, LB_SETCURSEL, 1, 0);
}

void onTransportCommand(int id, int code) {
    switch (id) {
    case IDC_MMC_LOCATE: locate(); break;
    case IDC_LOCATE_RATE:
        if (code == LBN_SELCHANGE) {
            LRESULT index = SendMessageA(control(IDC_LOCATE_RATE), LB_GETCURSEL, 0, 0);
            if (index >= 0) panel.locateRateIndex = static_cast<uint8_t>(index);
        }
        break;
    case IDC_MMC_PLAY: sendPlay(panel.locateRateIndex < 4 ? 2 : 3); break;
    case IDC_MMC_STOP: stop(); break;
    case IDC_JAM_LTC:
        sendMessage(Msg::MmcGenerator);
        panel.jamLtcPending = true;
        break;
    case IDC_JAM_SYSTEM_TIME: jamSystemTime(); break;
    default: break;
    }
}

void onMmcResponse(const uint8_t* bytes, std::size_t count) {
    if (count < kModeResponseLength) return;
    uint8_t x = bytes[6];
    if ((x & 0x0F) == 0x0A) {
        SetDlgItemTextA(panel.window, IDC_MTC_MODE, "MMC controlled\nMTC and LTC Generator");
        setLtcReaderMode(false);
        if (panel.jamLtcPending) {
            logLine("Jam Sync to LTC Reader");
            panel.jamLtcPending = false;
        }
    } else if ((x & 0x0F) == 0x00) {
        SetDlgItemTextA(panel.window, IDC_MTC_MODE, "LTC Reader to\nMTC conversion");
        setLtcReaderMode(true);
        panel.jamLtcPending = false;
    }
    setPullDown((x & 0x10) != 0);
}

void clockTick() {
    panel.clockTime = readLocalTime();
    int ms = panel.clockTime.wMilliseconds;
    int period = 1080 - ms;
    if (ms > 500) {
        period = 2080 - ms;
        addSecond(panel.clockTime);
    }
    if (panel.jamState == JamState::Armed) period -= 100;
    startTimer(kTimerClock, static_cast<UINT>(period));
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", panel.clockTime.wHour, panel.clockTime.wMinute,
                  panel.clockTime.wSecond);
    SetDlgItemTextA(panel.window, IDC_CLOCK_DISPLAY, text);

    if (panel.jamState == JamState::Located) {
        // The jam's line says whether all three of its messages went out.
        SendResult jammed = firstFailure(panel.jamLocateResult, sendPlay(2));
        logLine("Jam Sync to Systemtime%s", notSentNote(jammed));
        panel.jamState = JamState::Done;
    } else if (panel.jamState == JamState::Armed) {
        locateForJam();
    } else {
        testAutomaticTriggers();
    }
}
