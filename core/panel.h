// PanelState: the one state record of MainPanel, alive for the whole run.
// Every field belongs to one area of the panel (noted per block); all of it is
// zero at start except where initialPanelState() says otherwise.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int kTextBufferSize = 256;
constexpr int kArgumentTextSize = 128;
constexpr int kArgumentTextLimit = 80;
constexpr int kInputBufferSize = 512;
constexpr int kMaxMatchingInputs = 32;
constexpr int kRecordMessageSize = 1024;
// Receive buffer pairs and send headers. One pair and one send header serve a
// connection; the others stand in for those that a driver may still hold.
constexpr int kInputPairCount = 4;
constexpr int kOutputSlotCount = 4;
constexpr int kOutputBufferSize = kRecordMessageSize; // the longest message sent

// Window timers of MainPanel.
enum TimerId : UINT_PTR {
    kTimerPoll = 1,          // link poll while connected, 500 ms
    kTimerUpdate = 2,        // firmware update steps
    kTimerProgress = 3,      // progress bar during the erase waits, 40 ms
    kTimerMtcWatchdog = 4,   // MTC watchdog, 50 ms
    kTimerClock = 5,         // PC clock display and jams
    kTimerAutoConnect = 6,   // auto connect, 2000 ms
    kTimerQuerySequence = 7, // request sequence after identification, 20 ms
    kTimerIdentity = 8,      // identity request again while waiting for the reply, 2000 ms
};

// The two receive buffers of an open input with their headers. `owner` is the
// input handle they were prepared for, until that handle is closed: while a
// close fails the driver may still hold them, so the pair is set aside.
struct InputPair {
    char bufferA[kInputBufferSize];
    char bufferB[kInputBufferSize];
    MIDIHDR headerA;
    MIDIHDR headerB;
    HMIDIIN owner; // null: free
};

// One message on its way out: a copy of its bytes and its header. `owner` is
// the output handle that may still hold the header; null: free.
struct OutputSlot {
    uint8_t bytes[kOutputBufferSize];
    MIDIHDR header;
    HMIDIOUT owner;
};
constexpr std::size_t kTimerCount = 7;

// The daily log file: not yet started (before the switches are applied and
// after the window ends), written, turned off by switch L, or given up after a
// failure until the next start.
enum class LogFileState : uint8_t { NotStarted, Writing, Off, Failed };

struct PanelState {
    // Shell: entry, switches, window.
    HINSTANCE instance;
    HWND window;
    char argumentText[kArgumentTextSize];
    bool sysExDump;
    bool startOnTimeCodePage;
    uint8_t dailyJamHour;
    uint8_t dailyJamMinute;
    bool multiplePanels; // switch M: a further panel; its log file lines carry its process id
    HFONT displayFont;   // 133 and 149, for the window's DPI (app/display_scale.h)
    // The period each window timer was last started with (core/timer.h).
    std::array<UINT, kTimerCount + 1> timerPeriods;

    // Event log.
    char textBuffer[kTextBufferSize];
    SYSTEMTIME localTime;
    // The log file: switch L, its state, the folder, the open file and the
    // day it holds; the list's own window procedure, which the log's runs in front of.
    bool logFileOff;
    LogFileState logFileState;
    char logFolder[MAX_PATH];
    HANDLE logFile;
    WORD logFileYear, logFileMonth, logFileDay;
    WNDPROC logListProcedure;

    // Pages.
    uint8_t pageMode;

    // MIDI ports: the open handles, the receive pairs (inputPair is the one of
    // the open input), the send headers, and output handles whose close failed
    // (closed again before the next open).
    HMIDIIN inputPort;
    HMIDIOUT outputPort;
    std::array<InputPair, kInputPairCount> inputPairs;
    int inputPair;
    std::array<OutputSlot, kOutputSlotCount> outputSlots;
    std::array<HMIDIOUT, kOutputSlotCount> abandonedOutputs;

    // Connection and identification.
    int deviceOrdinal;
    std::array<UINT, kMaxMatchingInputs> matchingInputs;
    int matchingInputCount;
    UINT inputDeviceId;
    UINT outputDeviceId;
    int serialNumber;
    int firmwareVersion;
    uint8_t querySequenceStep;

    // User profiles: four names of 12 characters and a terminator; the index of
    // the profile the unit last reported as current, 100 while none is known.
    char profileNames[4][13];
    int currentProfile;

    // MTC reader: time-code registers (hours, minutes, seconds, frames), the
    // rate label, the PC time at piece 0, the failed-check count, the watchdog.
    uint8_t mtcHours, mtcMinutes, mtcSeconds, mtcFrames;
    char mtcRateText[12];
    SYSTEMTIME pieceZeroTime;
    uint8_t mtcErrorCount;
    bool lastCheckAtFrameOne;
    uint8_t mtcWatchdog;
    bool pullDown;
    bool rateTextRequest;

    // Transport and time sync.
    uint8_t locateRateIndex;
    uint8_t jamState; // 0 idle, 1 armed, 2 located, 3 done
    bool ltcReaderMode;
    bool jamLtcPending;
    SYSTEMTIME clockTime;

    // Firmware update: the phase, the image carried in the program's
    // resources, the record loop's counters and its message buffer.
    uint8_t updateState;
    HGLOBAL firmwareResource;
    const uint8_t* firmwareImage;
    std::size_t firmwareSize; // bytes of resource data
    std::size_t imageEnd;     // the first 0xFF byte or the end of the data
    int32_t imageLineCount;
    int32_t linesSent;
    std::size_t recordPosition;
    uint8_t recordMessage[kRecordMessageSize];
    int32_t progressValue;
    bool reconnectPending;  // Connect posted after the first erase wait
    int32_t reconnectTicks; // timer 2 ticks since then, kReconnectCheckMs each
    DWORD burstStart;       // tick count at the start of the current run of records
};

extern PanelState panel;

// The state of a fresh start.
PanelState initialPanelState();

// Handle of a control of MainPanel.
inline HWND control(int id) {
    return GetDlgItem(panel.window, id);
}
