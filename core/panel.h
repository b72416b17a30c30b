// PanelState: the one state record of MainPanel, alive for the whole run.
// Every field belongs to one area of the panel (noted per block); all of it is
// zero at start except where initialPanelState() says otherwise.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "timer.h"

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

// The two receive buffers of an input with their headers. `owner` is the
// input handle they are prepared for, until that handle is closed or gone. A
// header is held from a successful midiInAddBuffer until it is seen back: the
// driver marked it done and took it out of its queue, or it was unprepared.
// A pair is free only with no owner and no header held. One with a header
// still held when its handle went away is retired: it is never handed to
// WinMM again, and is free once the driver itself marks the header done.
struct InputPair {
    char bufferA[kInputBufferSize];
    char bufferB[kInputBufferSize];
    MIDIHDR headerA;
    MIDIHDR headerB;
    HMIDIIN owner;
    bool heldA;
    bool heldB;
};

// One message on its way out: a copy of its bytes and its header. `owner` is
// the output handle the header is prepared for; `held`: handed to the driver
// and not yet seen back. Free only with neither; with no owner but held, it is
// retired like an input pair.
struct OutputSlot {
    uint8_t bytes[kOutputBufferSize];
    MIDIHDR header;
    HMIDIOUT owner;
    bool held;
};

// A port-layer line that auto connect repeats: written once, then at most
// once a minute (link/midi_port.cpp). Empty text: a free entry.
constexpr int kRepeatedLineCount = 8;
constexpr long long kRepeatedLineSeconds = 60;
struct RepeatedLine {
    char text[kTextBufferSize];
    long long writtenAt; // clockSeconds() when it was last written
    int count;           // times it came since then without being written
};

// The layouts of the window's controls (app/pages.h): not connected (nothing
// page-specific), the firmware update, and the three pages of a connected unit.
enum class PageMode : uint8_t {
    NotConnected = 0,
    UpdateNeeded = 1,
    Settings = 2,
    TimeCode = 3,
    Calibration = 4
};

// The steps of a firmware update (firmware/update.cpp). Other areas ask the
// update's questions (firmware/update.h) rather than reading the phase.
enum class UpdatePhase : uint8_t {
    Idle = 0,          // no update
    AwaitingReply = 1, // command 0x0B sent, waiting for report 0x0C
    Accepted = 2,      // report 0x0C came: the ports close, the firmware ID is erased
    Reconnecting = 3,  // erase wait, then Connect to the erased unit
    HeaderDue = 5,     // the erased unit answered: the header goes next
    Records = 6,       // code flash erase wait, then the records
    Confirming = 8,    // every record out: the unit is asked whether it runs 3.01
    Done = 7,          // the unit reported 3.01: a pause, then the link is released
};

// The jam to the PC clock (pages/transport.cpp): armed by a request, the unit
// located to the next second, then started at its beginning.
enum class JamState : uint8_t { Idle = 0, Armed = 1, Located = 2, Done = 3 };

// The unit's current profile as its settings report last said (0 to 3), or
// none known.
enum class CurrentProfile : int8_t { First = 0, Second = 1, Third = 2, Fourth = 3, Unknown = 100 };

// Whether a message went out (link/midi_port.h, link/message_table.h). Sent:
// handed to the driver and done. NotConnected: no output was open, so nothing
// was tried. Failed: not sent (a failed prepare or midiOutLongMsg, the port
// lost on the way), or still not done after the bounded wait; sendSysEx says
// Failed for a closed output too.
enum class SendResult : uint8_t { Sent, NotConnected, Failed };

// What the unit configuration (pages/unit_config.h) is waiting for: fresh
// reports for a save, for the comparison before a restore, or for the check
// after it.
enum class ConfigTask : uint8_t { Idle, Save, Compare, Confirm };

// A unit's configuration: settings parameters 1 to 19 and 24 to 26 (by
// number), the configuration protect flag, and the calibration items
// subcarrier phase, H-phase offset and user calibration offset.
struct UnitValues {
    std::array<uint8_t, 27> parameter;
    uint8_t configProtect;
    std::array<int8_t, 3> calibration;
};

// The daily log file: not yet started (before the switches are applied and
// after the window ends), written, turned off by switch L, or failed and
// tried again at most once a minute (core/log_file.cpp).
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

    // Event log: the timestamped line being formatted (core/log.cpp only).
    char textBuffer[kTextBufferSize];
    SYSTEMTIME localTime;
    // The log file: switch L, its state, the folder, the open file and the
    // day it holds; the list's own window procedure, which the log's runs in front of.
    bool logFileOff;
    LogFileState logFileState;
    char logFolder[MAX_PATH];
    HANDLE logFile;
    WORD logFileYear, logFileMonth, logFileDay;
    long long logFileFailedAt; // clockSeconds() of the last failed try
    WNDPROC logListProcedure;

    // Pages: the page last chosen, shown again at the next identification.
    PageMode pageMode;

    // MIDI ports: the open handles, the receive pairs (inputPair is the one of
    // the open input), the send headers, output handles whose close failed and
    // that no send slot names (closed again before the next open), whether the
    // Connect under way is auto connect's, and the lines it repeats.
    HMIDIIN inputPort;
    HMIDIOUT outputPort;
    std::array<InputPair, kInputPairCount> inputPairs;
    int inputPair;
    std::array<OutputSlot, kOutputSlotCount> outputSlots;
    std::array<HMIDIOUT, kOutputSlotCount> abandonedOutputs;
    bool autoConnecting;
    std::array<RepeatedLine, kRepeatedLineCount> repeatedLines;

    // Connection and identification.
    int deviceOrdinal;
    std::array<UINT, kMaxMatchingInputs> matchingInputs;
    int matchingInputCount;
    UINT inputDeviceId;
    UINT outputDeviceId;
    int serialNumber;
    // The link ended (a send or re-queue found the unit gone) and the window
    // has not yet shown the not-connected layout (link/connection.h).
    bool linkLostPending;
    int firmwareVersion;
    bool unitOperable; // the last identity reply named firmware the panel works with
    uint8_t querySequenceStep;

    // Unit configuration: the transfer under way, its next request, the
    // reports it still awaits (one bit each), when its requests began and how
    // a request went out; the unit's values as its reports last gave them; the
    // file being saved or restored, its values, the values a restore wrote;
    // the folder of the last configuration file.
    ConfigTask configTask;
    uint8_t configStep;
    uint16_t configAwaited;
    DWORD configStart;
    SendResult configRequest;
    UnitValues unitValues;
    char configPath[MAX_PATH];
    UnitValues fileValues;
    int configWritten;
    char configFolder[MAX_PATH];

    // User profiles: four names of 12 characters and a terminator; the index of
    // the profile the unit last reported as current.
    char profileNames[4][13];
    CurrentProfile currentProfile;

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
    JamState jamState;
    SendResult jamLocateResult; // how the locate of the jam under way went out
    bool ltcReaderMode;
    bool jamLtcPending;
    SYSTEMTIME clockTime;

    // Firmware update: the phase, the image carried in the program's
    // resources, the record loop's counters and its message buffer.
    UpdatePhase updateState;
    HGLOBAL firmwareResource;
    const uint8_t* firmwareImage;
    std::size_t firmwareSize; // bytes of resource data
    std::size_t imageEnd;     // the first 0xFF byte or the end of the data
    int32_t imageLineCount;
    int32_t linesSent;
    std::size_t recordPosition;
    uint8_t recordMessage[kRecordMessageSize];
    int32_t progressValue;
    bool reconnectPending; // Connect posted after the first erase wait
    int32_t unitChecks;    // timer 2 checks since the reconnect or the confirmation began
    DWORD burstStart;      // tick count at the start of the current run of records
    int updateSerial;      // the unit the update began on: it alone is updated
    // Windows was told that the session cannot end now (WM_QUERYENDSESSION
    // during an update); undone once the update no longer needs the unit.
    bool shutdownBlocked;
};

extern PanelState panel;

// The state of a fresh start.
PanelState initialPanelState();

// Handle of a control of MainPanel.
inline HWND control(int id) {
    return GetDlgItem(panel.window, id);
}

// Any update step under way: the other areas hold back (no dump lines, no
// auto connect, no automatic jams).
inline bool updateRunning() {
    return panel.updateState != UpdatePhase::Idle;
}
// The update is waiting for the unit to answer, and opens its ports again
// itself when they close: from the unit's acceptance (report 0x0C), after
// which the ports close for the erase anyway, through the reconnect to the
// erased unit, or after the last record for the unit's firmware version. A
// Connect or a lost link keeps the update layout.
inline bool updateAwaitsTheUnit() {
    return panel.updateState == UpdatePhase::Accepted || panel.updateState == UpdatePhase::Reconnecting ||
           panel.updateState == UpdatePhase::Confirming;
}
// Both of the unit's ports are open: the link is up.
inline bool linkOpen() {
    return panel.inputPort && panel.outputPort;
}
// Either port is open: something to close.
inline bool anyPortOpen() {
    return panel.inputPort || panel.outputPort;
}
// Both ports are open to a unit that identified itself with the firmware the
// panel works with.
inline bool operableUnitConnected() {
    return panel.unitOperable && linkOpen();
}
