// MainPanel: program entry, command-line switches, the dialog procedure and
// its dispatch of window messages, controls and timers to the panel's parts.
#include "main_panel.h"

#include <commctrl.h>

#include <cstdio>

#include "../firmware/update.h"
#include "../link/connection.h"
#include "../link/message_table.h"
#include "../link/midi_port.h"
#include "../pages/calibration.h"
#include "../pages/mtc_reader.h"
#include "../pages/profiles.h"
#include "../pages/settings.h"
#include "../pages/transport.h"
#include "../core/log.h"
#include "../core/log_file.h"
#include "config_menu.h"
#include "display_scale.h"
#include "log_menu.h"
#include "pages.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "router.h"
#include "single_instance.h"
#include "../core/timer.h"

void resetPanelState() {
    panel = initialPanelState();
    resetMessageTable();
}

// ---- Argument text and switches ----

const char* separateArgumentText(const char* line) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (blank(*line))
        ++line;
    if (*line == '"') {
        ++line;
        while (*line && *line != '"')
            ++line;
        if (*line == '"') ++line;
    } else {
        while (*line && !blank(*line))
            ++line;
    }
    while (blank(*line))
        ++line;
    return line;
}

void copyArgumentText(const char* text) {
    for (int i = 0; i < kArgumentTextLimit && text[i]; ++i)
        panel.argumentText[i] = text[i];
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Switch D at index i: "hh:mm" right after the letter, at most one blank
// between. A time of day ticks check box 155 "daily auto jam". One that names
// no time of day (hour over 23, minute over 59) is logged and ticks nothing:
// the box is cleared and the time before this switch (03:00 by default)
// stays, so a later valid -D still sets its own.
void applyDailyJamTime(int i) {
    const char* text = panel.argumentText;
    const uint8_t hour = panel.dailyJamHour;
    const uint8_t minute = panel.dailyJamMinute;
    int p = i + 1;
    if (text[p] == ' ') p = i + 2;
    if (isDigit(text[p])) panel.dailyJamHour = static_cast<uint8_t>(10 * (text[p] - '0'));
    if (isDigit(text[p + 1]))
        panel.dailyJamHour = static_cast<uint8_t>(panel.dailyJamHour + (text[p + 1] - '0'));
    if (text[p + 2] == ':') {
        if (isDigit(text[p + 3])) panel.dailyJamMinute = static_cast<uint8_t>(10 * (text[p + 3] - '0'));
        if (isDigit(text[p + 4]))
            panel.dailyJamMinute = static_cast<uint8_t>(panel.dailyJamMinute + (text[p + 4] - '0'));
    }
    if (panel.dailyJamHour > 23 || panel.dailyJamMinute > 59) {
        logLine("daily jam time %02d:%02d ignored: no daily jam", panel.dailyJamHour, panel.dailyJamMinute);
        panel.dailyJamHour = hour;
        panel.dailyJamMinute = minute;
        SendMessageA(control(IDC_DAILY_JAM), BM_SETCHECK, BST_UNCHECKED, 0);
        return;
    }
    SendMessageA(control(IDC_DAILY_JAM), BM_SETCHECK, BST_CHECKED, 0);
}

// The switch scanner of argumentText, shared by the switches and the entry:
// from `index` on, the next letter that stands after a dash (in upper case),
// with `index` left on it; 0 at the end of the text. `dash` carries the dash
// flag from call to call.
char nextSwitchLetter(int& index, bool& dash) {
    // Index at most 127, and the time of D reads at most 5 past an index below 81.
    for (; index < kArgumentTextSize && panel.argumentText[index]; ++index) {
        char c = panel.argumentText[index];
        if (c == '-') {
            dash = true;
            continue;
        }
        if (c == ' ') {
            dash = false;
            continue;
        }
        if (!dash) continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') continue; // other characters are ignored; the dash stays on
        if (c == 'D') dash = false;       // a letter after the time needs a new dash
        return c;
    }
    return 0;
}

} // namespace

bool switchGiven(char letter) {
    int i = 0;
    bool dash = false;
    for (char c; (c = nextSwitchLetter(i, dash)) != 0; ++i)
        if (c == letter) return true;
    return false;
}

void applySwitches() {
    int i = 0;
    bool dash = false;
    for (char c; (c = nextSwitchLetter(i, dash)) != 0; ++i) {
        switch (c) {
        case 'A':
            startTimer(kTimerAutoConnect, 2000);
            SendMessageA(control(IDC_AUTO_CONNECT), BM_SETCHECK, BST_CHECKED, 0);
            break;
        case 'C': ShowWindow(control(IDC_CAPTURE_TUNING), SW_SHOWNORMAL); break;
        case 'D': applyDailyJamTime(i); break;
        case 'E': ShowWindow(control(IDC_ERASE_EEPROM), SW_SHOWNORMAL); break;
        case 'J': SendMessageA(control(IDC_AUTO_JAM), BM_SETCHECK, BST_CHECKED, 0); break;
        case 'L': panel.logFileOff = true; break;
        case 'M': panel.multiplePanels = true; break;
        case 'S': panel.sysExDump = true; break;
        case 'T': panel.startOnTimeCodePage = true; break;
        default: break; // other letters are ignored
        }
    }
}

// ---- Window lifecycle ----

namespace {

void setUpDown(int id, int lower, int upper, int position) {
    HWND upDown = control(id);
    SendMessageA(upDown, UDM_SETRANGE, 0, MAKELPARAM(upper, lower));
    SendMessageA(upDown, UDM_SETPOS, 0, MAKELPARAM(position, 0));
}

void onInitDialog() {
    HICON icon = LoadIconA(panel.instance, MAKEINTRESOURCEA(IDI_PANEL));
    SendMessageA(panel.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    panel.pageMode = PageMode::Settings;
    showPage(PageMode::NotConnected);
    fillSettingsLists();
    SendMessageA(control(IDC_PROFILE_NAME), EM_LIMITTEXT, 12, 0);
    SendMessageA(control(IDC_VARISPEED_FREQ), EM_LIMITTEXT, 8, 0);

    initDisplayFont();

    setUpDown(IDC_LOCATE_HOURS_SPIN, 0, 23, 0);
    setUpDown(IDC_LOCATE_MINUTES_SPIN, 0, 59, 0);
    setUpDown(IDC_LOCATE_SECONDS_SPIN, 0, 59, 0);
    fillLocateRateList();

    logLine("application started %s", panel.argumentText);
    logFirmwareKind();
    startTimer(kTimerClock, 100);
    ShowWindow(control(IDC_CAPTURE_TUNING), SW_HIDE);
    ShowWindow(control(IDC_ERASE_EEPROM), SW_HIDE);
    applySwitches();
    startLogFile();
    addLogEntriesToSystemMenu();
    addConfigEntriesToSystemMenu();

    char caption[64];
    std::snprintf(caption, sizeof caption, " daily auto jam %02d:%02d", panel.dailyJamHour,
                  panel.dailyJamMinute);
    SetDlgItemTextA(panel.window, IDC_DAILY_JAM, caption);

    // Calibration up-downs: -128..127. 187 is given 128 and takes 127; its
    // edit's change handler then writes the user-offset text.
    for (int id : {IDC_SC_PHASE_SPIN, IDC_H_PHASE_SPIN, IDC_USER_CAL_SPIN})
        SendMessageA(control(id), UDM_SETRANGE, 0, MAKELPARAM(127, -128));
    SendMessageA(control(IDC_USER_CAL_SPIN), UDM_SETPOS, 0, MAKELPARAM(128, 0));

    EnableWindow(control(IDC_SAVE_PROFILE), FALSE);
    markPanelWindow();
}

void endPanel() {
    killAllTimers();
    closePorts();
    releaseFirmwareImage();
    EndDialog(panel.window, 0);
}

void onClose() {
    // Closing in the middle of an update leaves the unit erased: ask first.
    // While the box is open the update goes on (the box's loop dispatches
    // its messages), so No leaves it undisturbed.
    if (updateNeedsTheUnit()) {
        if (MessageBoxA(panel.window,
                        "A firmware update is running.\n\nClosing now leaves the zembrax HD without working "
                        "firmware until the update is run again.\n\nClose anyway?",
                        "   Firmware update", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
            return;
        if (updateNeedsTheUnit()) noteUpdate(UpdateNote::Abandoned); // it may have ended meanwhile
    }
    endPanel();
}

// WM_QUERYENDSESSION: log-off or shutdown would cut a running update short,
// leaving the unit erased, so the session may end only while none runs.
// Windows shows the reason to the operator.
INT_PTR onQueryEndSession() {
    BOOL mayEnd = TRUE;
    if (updateNeedsTheUnit()) {
        if (!panel.shutdownBlocked)
            panel.shutdownBlocked =
                ShutdownBlockReasonCreate(panel.window, L"Firmware update in progress") != FALSE;
        noteUpdate(UpdateNote::SessionEndRefused);
        mayEnd = FALSE;
    }
    SetWindowLongPtrA(panel.window, DWLP_MSGRESULT, mayEnd);
    return TRUE;
}

// WM_ENDSESSION: the session ends (wParam TRUE), refused or not; the process
// may be ended at any moment after this returns. A running update is logged
// as cut short, then the panel ends as at WM_CLOSE.
INT_PTR onEndSession(WPARAM ending) {
    if (!ending) return TRUE;
    if (updateNeedsTheUnit()) noteUpdate(UpdateNote::Interrupted);
    endPanel();
    return TRUE;
}

// Once the update no longer needs the unit, Windows may end the session again.
void followShutdownBlock() {
    if (!panel.shutdownBlocked || updateNeedsTheUnit()) return;
    ShutdownBlockReasonDestroy(panel.window);
    panel.shutdownBlocked = false;
}

void onCommand(WPARAM wParam, LPARAM lParam) {
    int id = LOWORD(wParam);
    int code = HIWORD(wParam);
    switch (id) {
    case IDC_CONNECT: onConnectCommand(lParam == kAutoConnectMark); break;
    case IDC_RELEASE: onReleaseCommand(); break;
    case IDC_AUTO_CONNECT: onAutoConnectClicked(); break;
    case IDC_UPDATE_HELP: onUpdateHelp(); break;
    case IDC_UPDATE_FIRMWARE: onUpdateFirmwareCommand(); break;
    case IDC_SEND_NEXT_RECORD: onSendNextRecordCommand(); break;
    case IDC_PAGE_SETTINGS:
    case IDC_PAGE_TIME_CODE:
    case IDC_PAGE_CALIBRATION: onPageButton(id); break;
    case IDC_CLEAR_LOGS: clearAllLogs(); break;
    case IDC_VIDEO_REF:
    case IDC_SD_STANDARD:
    case IDC_HD_STANDARD:
    case IDC_VIDEO_OUT13:
    case IDC_VIDEO_OUT4:
    case IDC_VIDEO_OUT5:
    case IDC_VIDEO_OUT6:
    case IDC_AUDIO_REF:
    case IDC_SAMPLE_RATE:
    case IDC_WORD_OUT16:
    case IDC_WORD_OUT78:
    case IDC_AES_OUT:
    case IDC_SPDIF_OUT:
    case IDC_NTSC_BLACK:
    case IDC_EXT_LOCK: onSettingsSelection(id, code); break;
    case IDC_CONFIG_PROTECT: onConfigProtect(); break;
    case IDC_PROFILE_LIST:
    case IDC_PROFILE_NAME:
    case IDC_SAVE_PROFILE: onProfileCommand(id, code); break;
    case IDC_SC_PHASE:
    case IDC_SC_PHASE_SAVE:
    case IDC_H_PHASE:
    case IDC_H_PHASE_SAVE:
    case IDC_VARISPEED:
    case IDC_VARISPEED_RELEASE:
    case IDC_VARISPEED_HELP:
    case IDC_USER_CAL:
    case IDC_USER_CAL_SAVE:
    case IDC_CAPTURE_TUNING:
    case IDC_ERASE_EEPROM: onCalibrationCommand(id, code); break;
    case IDC_MMC_LOCATE:
    case IDC_LOCATE_RATE:
    case IDC_MMC_PLAY:
    case IDC_MMC_STOP:
    case IDC_JAM_LTC:
    case IDC_JAM_SYSTEM_TIME: onTransportCommand(id, code); break;
    case IDM_LOG_COPY_ALL:
    case IDM_LOG_SAVE_AS:
    case IDM_LOG_OPEN_FOLDER:
    case IDM_LOG_CLEAR: onLogMenuCommand(id); break;
    default: break; // IDOK and IDCANCEL included: Enter and Escape do nothing
    }
}

void onTimer(WPARAM timer) {
    switch (timer) {
    case kTimerPoll: onPollTimer(); break;
    case kTimerUpdate: onUpdateTimer(); break;
    case kTimerProgress: progressTick(); break;
    case kTimerMtcWatchdog: mtcWatchdogTick(); break;
    case kTimerClock: clockTick(); break;
    case kTimerAutoConnect: autoConnectTick(); break;
    case kTimerQuerySequence: querySequenceTick(); break;
    case kTimerIdentity: identityRetryTick(); break;
    case kTimerConfiguration: onConfigTimer(); break;
    default: break;
    }
}

// MM_MIM_LONGDATA: the port layer says what arrived, the router hands it on,
// then the buffer goes back to the driver.
void onSysExArrived(HMIDIIN handle, MIDIHDR* header) {
    ReceivedSysEx received = receiveSysEx(handle, header);
    if (!received.accepted) return;
    if (received.count > 0) dispatchSysEx(received.bytes, received.count);
    requeueInput(handle, header);
}

// MM_MIM_DATA: only MTC quarter frames mean anything.
void onShortMessageArrived(HMIDIIN handle, DWORD_PTR message) {
    ShortMessage received = receiveShortMessage(handle, message);
    if (received.quarterFrame) dispatchQuarterFrame(received.data);
}

INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: onInitDialog(); return TRUE;
    case WM_CLOSE: onClose(); return TRUE;
    case WM_QUERYENDSESSION: return onQueryEndSession();
    case WM_ENDSESSION: return onEndSession(wParam);
    case WM_COMMAND: onCommand(wParam, lParam); return TRUE;
    case WM_TIMER: onTimer(wParam); return TRUE;
    case MM_MIM_DATA:
        onShortMessageArrived(reinterpret_cast<HMIDIIN>(wParam), static_cast<DWORD_PTR>(lParam));
        return TRUE;
    case MM_MIM_LONGDATA:
        onSysExArrived(reinterpret_cast<HMIDIIN>(wParam), reinterpret_cast<MIDIHDR*>(lParam));
        return TRUE;
    case MM_MIM_LONGERROR:
        receiveLongError(reinterpret_cast<HMIDIIN>(wParam), reinterpret_cast<MIDIHDR*>(lParam));
        return TRUE;
    case MM_MIM_OPEN:
    case MM_MIM_CLOSE:
    case MM_MIM_ERROR: return TRUE;
    case WM_CONTEXTMENU: return showLogContextMenu(wParam, lParam);
    case WM_INITMENUPOPUP: return onConfigMenuPopup(wParam, lParam);
    case WM_SYSCOMMAND: return onLogSystemCommand(wParam) || onConfigSystemCommand(wParam);
    case WM_DPICHANGED: return onDpiChanged(wParam, lParam);
    case WM_DESTROY:
        // The display font dies with the window that uses it; the log file closes with it.
        if (panel.displayFont) DeleteObject(panel.displayFont);
        panel.displayFont = nullptr;
        stopLogFile();
        unmarkPanelWindow();
        return FALSE;
    default: return FALSE;
    }
}

} // namespace

INT_PTR CALLBACK MainPanel(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    panel.window = window;
    INT_PTR handled = handleMessage(message, wParam, lParam);
    followLostLink(); // a send that found the unit gone while this message was handled
    followShutdownBlock();
    return handled;
}

int runPanel(HINSTANCE instance, const char* commandLine) {
    panel.instance = instance;
    copyArgumentText(separateArgumentText(commandLine));
    HANDLE claim = nullptr;
    if (claimPanel(switchGiven('M'), claim) == PanelClaim::AnotherRuns) {
        bringRunningPanelForward();
        return 0;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    int result =
        static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN_PANEL), nullptr, MainPanel, 0));
    if (claim) CloseHandle(claim);
    return result;
}
