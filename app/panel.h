// PanelState: the one state record of MainPanel, alive for the whole run.
// Every field belongs to one area of the panel (noted per block); all of it is
// zero at start except where initialPanelState() says otherwise.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cstdint>

constexpr int kTextBufferSize = 256;
constexpr int kArgumentTextSize = 128;
constexpr int kArgumentTextLimit = 80;
constexpr int kInputBufferSize = 512;
constexpr int kMaxMatchingInputs = 32;

// Window timers of MainPanel.
enum TimerId : UINT_PTR {
    kTimerPoll = 1,          // link poll while connected, 500 ms
    kTimerUpdate = 2,        // firmware update steps
    kTimerProgress = 3,      // progress bar during the erase waits, 40 ms
    kTimerMtcWatchdog = 4,   // MTC watchdog, 50 ms
    kTimerClock = 5,         // PC clock display and jams
    kTimerAutoConnect = 6,   // auto connect, 2000 ms
    kTimerQuerySequence = 7, // request sequence after identification, 20 ms
};

struct PanelState {
    // Shell: entry, switches, window.
    HINSTANCE instance;
    HWND window;
    char argumentText[kArgumentTextSize];
    bool sysExDump;
    bool startOnTimeCodePage;
    uint8_t dailyJamHour;
    uint8_t dailyJamMinute;
    HFONT displayFont;

    // Event log.
    char textBuffer[kTextBufferSize];
    SYSTEMTIME localTime;

    // Pages.
    uint8_t pageMode;

    // MIDI ports.
    HMIDIIN inputPort;
    HMIDIOUT outputPort;
    char inputBufferA[kInputBufferSize];
    char inputBufferB[kInputBufferSize];
    MIDIHDR inputHeaderA;
    MIDIHDR inputHeaderB;

    // Connection and identification.
    int deviceOrdinal;
    std::array<UINT, kMaxMatchingInputs> matchingInputs;
    int matchingInputCount;
    UINT inputDeviceId;
    UINT outputDeviceId;
    int serialNumber;
    int firmwareVersion;
    uint8_t querySequenceStep;

    // User profiles.
    int currentProfile;

    // MTC reader and transport.
    uint8_t mtcWatchdog;
    uint8_t jamState;
    uint8_t locateRateIndex;

    // Firmware update.
    uint8_t updateState;
};

extern PanelState panel;

// The state of a fresh start.
PanelState initialPanelState();

// Puts PanelState and messageTable back to the state of a fresh start, so that
// every test starts like a newly started program. Call only while no MainPanel
// window exists.
void resetPanelState();

// Handle of a control of MainPanel.
inline HWND control(int id) {
    return GetDlgItem(panel.window, id);
}
