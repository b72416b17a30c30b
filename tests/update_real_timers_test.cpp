// The firmware update under real timers and a real message loop: the test
// clicks Update Firmware and from then on only runs the thread's messages
// (GetMessage / DispatchMessage, WM_TIMER included) and watches, as the
// program's own loop would. A timer starved by posted messages shows here,
// not in the tests that send WM_TIMER by hand.
//
// One table: the whole update, the unit vanishing at each phase, and the
// unit's answer to the check after the last record. Every run takes seconds
// of real time (two erase waits of 110 ticks, the reconnect's 30 s
// where it times out), so the rows run side by side, each in a process of its
// own: this test program started again for one row
// (UpdateUnderRealTimers.Row, which exists only in such a process).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "firmware/update.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

const char* const kRowVariable = "ZEMBRAX_REAL_TIMER_ROW";
const char* const kDone = "Firmware update done\n";
const char* const kChecking = "Checking firmware 3.01\n";
const char* const kFailed = "Firmware update failed\nUnplug USB connection and close application";
const char* const kNotStarted = "Firmware update not started\n";
// How soon a lost unit ends the update once the panel can notice it.
constexpr DWORD kLossNoticedMs = 2000;
// Longest run of a row, as a guard.
constexpr DWORD kRowTimeoutMs = 60000;

// When the row's unit goes away: by its own injected failure (at a message
// it receives), or pulled by the test at a moment of the update; or what it
// answers to the check after the last record.
enum class Loss {
    None,
    AtBeginCommand,         // the unit vanishes as command 0x0B arrives
    InFirstEraseWait,       // pulled as the first erase wait begins (the ports are closed)
    BackDuringReconnect,    // pulled as the first erase wait begins, back 3 s after the Connect
    AfterHeader,            // the unit vanishes as the header arrives
    InSecondEraseWait,      // pulled halfway through the second erase wait
    AfterRecords,           // the unit vanishes after `records` records
    InputDeadDuringRecords, // the input dies, sends still go through (a slow driver)
    RejectsRecord,          // its loader rejects record `records` and the unit stays erased
    OtherVersion,           // the image's header names firmware 0300, which the unit then reports
    SilentAfterRecords,     // the unit answers no identity request after the records
};

// How the update ends: done, failed from the erase on, or not started.
enum class Ending { Done, Failed, NotStarted };

struct Row {
    const char* name;
    Loss loss;
    int records;
    Ending ending;
    const char* line; // a log line that must be there, after the time stamp
};

const Row kRows[] = {
    {"whole update", Loss::None, 0, Ending::Done,
     " zembrax H 1234 firmware update confirmed: unit reports firmware 0301"},
    {"unit vanishes on command 0x0B", Loss::AtBeginCommand, 0, Ending::NotStarted,
     " zembrax H 1234 firmware update not started: "},
    {"unit pulled in the first erase wait", Loss::InFirstEraseWait, 0, Ending::Failed, nullptr},
    {"unit pulled in the first erase wait, back 3 s into the reconnect", Loss::BackDuringReconnect, 0,
     Ending::Done, " zembrax H 1234 updated to firmware 3.01"},
    {"unit vanishes after the header", Loss::AfterHeader, 0, Ending::Failed, nullptr},
    {"unit pulled in the second erase wait", Loss::InSecondEraseWait, 0, Ending::Failed, nullptr},
    {"unit vanishes after 1 record", Loss::AfterRecords, 1, Ending::Failed, nullptr},
    {"unit vanishes after 100 records", Loss::AfterRecords, 100, Ending::Failed, nullptr},
    {"unit vanishes after 2864 records", Loss::AfterRecords, 2864, Ending::Failed, nullptr},
    {"input dies during the records, sends still accepted", Loss::InputDeadDuringRecords, 0, Ending::Failed,
     nullptr},
    {"loader rejects record 100, the unit stays erased", Loss::RejectsRecord, 100, Ending::Failed,
     " zembrax H 1234 firmware update not confirmed: unit reports firmware deleted"},
    {"the image programs firmware 0300", Loss::OtherVersion, 0, Ending::Failed,
     " zembrax H 1234 firmware update not confirmed: unit reports firmware 0300"},
    {"unit silent after the records", Loss::SilentAfterRecords, 0, Ending::Failed,
     " zembrax H 1234 firmware update not confirmed: no answer within 5 s"},
};
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

std::string updateText(HWND window) {
    return controlText(window, IDC_UPDATE_TEXT);
}

void runRow(const Row& row) {
    HWND window = openPanel();
    simSetIdentity(0, "1234", "0300", 0x0A);
    // 10 us a byte, a USB link: the image reaches the unit within about 2 s,
    // so its answer to the check after the last record is not held up for
    // the minute that a MIDI cable's 320 us a byte would take.
    simSetByteTime(10);
    connectAndIdentify(window);
    ASSERT_TRUE(isShown(window, IDC_UPDATE_FIRMWARE));
    switch (row.loss) {
    case Loss::AtBeginCommand: simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AT_BEGIN, 0); break;
    case Loss::AfterHeader: simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AFTER_RECORDS, 0); break;
    case Loss::AfterRecords: simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AFTER_RECORDS, row.records); break;
    case Loss::RejectsRecord: simSetFirmwareFailure(0, SIM_FIRMWARE_REJECT_RECORD, row.records); break;
    case Loss::OtherVersion: {
        std::string image = carriedImage();
        image.replace(2, 4, "0300"); // "ZF0300...": the unit takes its version from the header
        useFirmwareImage(image);
        break;
    }
    default: break;
    }

    DWORD clicked = GetTickCount(), lostAt = 0, recordsFrom = 0, recordsTo = 0, failedAt = 0, connectAt = 0;
    bool sawDone = false, sawChecking = false, unplugged = false, replugged = false, sawNothingOpen = false,
         silenced = false;
    auto pull = [&] {
        simUnplug(0);
        unplugged = true;
        lostAt = GetTickCount();
    };
    auto watch = [&] {
        DWORD now = GetTickCount();
        std::string text = updateText(window);
        sawDone = sawDone || text == kDone;
        sawChecking = sawChecking || text == kChecking;
        if ((text == kFailed || text.rfind(kNotStarted, 0) == 0) && !failedAt) failedAt = now;
        if (panel.updateState == UpdatePhase::Records && panel.linesSent >= 2 && !recordsFrom)
            recordsFrom = now;
        if (panel.updateState == UpdatePhase::Confirming && !recordsTo) recordsTo = now;
        switch (row.loss) {
        case Loss::AtBeginCommand:
            if (!lostAt && simCommandCount(0, 0x0B) > 0) lostAt = clicked;
            break;
        case Loss::InFirstEraseWait:
            if (!unplugged && panel.updateState == UpdatePhase::Reconnecting) pull();
            break;
        case Loss::BackDuringReconnect:
            if (!unplugged && panel.updateState == UpdatePhase::Reconnecting) pull();
            if (unplugged && panel.reconnectPending && !connectAt) connectAt = now;
            // The Connect and its looks every 500 ms open nothing until the unit is back.
            if (connectAt && !replugged && panel.unitChecks >= 1 && !panel.inputPort) sawNothingOpen = true;
            if (connectAt && !replugged && now - connectAt >= 3000) {
                simReplug(0);
                replugged = true;
            }
            break;
        case Loss::AfterHeader:
            if (!lostAt && panel.updateState == UpdatePhase::Records) lostAt = now;
            break;
        case Loss::InSecondEraseWait:
            if (!unplugged && panel.updateState == UpdatePhase::Records && panel.progressValue >= 110 / 2 &&
                panel.linesSent == 1)
                pull();
            break;
        case Loss::AfterRecords: {
            int records = 0;
            simFirmwareStats(0, &records, nullptr, nullptr);
            if (!lostAt && records >= row.records) lostAt = now;
            break;
        }
        case Loss::InputDeadDuringRecords:
            if (!lostAt && recordsFrom) {
                simSetOutputDoneDelay(2); // each record now takes a while, as on the wire
                simFailCall("midiInStart", MMSYSERR_NODRIVER, 0, 0);
                lostAt = now;
            }
            break;
        case Loss::SilentAfterRecords:
            if (!silenced && recordsFrom) {
                simIgnoreIdentityRequests(0, 1000); // the reconnect's identity was answered before
                silenced = true;
            }
            [[fallthrough]];
        case Loss::RejectsRecord:
        case Loss::OtherVersion:
            if (!lostAt && recordsTo) lostAt = recordsTo; // the check is where it shows
            break;
        case Loss::None: break;
        }
    };
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_FIRMWARE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_UPDATE_FIRMWARE)));
    bool ended = runMessageLoop(
        kRowTimeoutMs,
        [&] { return panel.updateState == UpdatePhase::Idle && GetTickCount() - clicked > 100; }, watch);
    ASSERT_TRUE(ended) << "the update never ended; 115 shows: " << updateText(window);
    DWORD endedAt = GetTickCount();
    EXPECT_TRUE(logContains(window, " zembrax H 1234 firmware update started"));
    if (row.line) {
        EXPECT_TRUE(logContains(window, row.line)) << row.line;
    }

    if (row.ending == Ending::Done) {
        EXPECT_TRUE(sawChecking);
        EXPECT_TRUE(sawDone);
        EXPECT_TRUE(logContains(window, " zembrax H 1234 updated to firmware 3.01"));
        char firmware[5] = {};
        simGetIdentity(0, nullptr, firmware, nullptr);
        EXPECT_STREQ(firmware, "0301");
        int records = 0, errors = -1;
        simFirmwareStats(0, &records, nullptr, &errors);
        EXPECT_EQ(records, 2865);
        EXPECT_EQ(errors, 0);
        if (row.loss == Loss::BackDuringReconnect) {
            EXPECT_TRUE(sawNothingOpen);
            EXPECT_TRUE(replugged);
        }
        std::printf("[measure] %s: whole update %lu ms, record loop (first record to the check) %lu ms\n",
                    row.name, static_cast<unsigned long>(endedAt - clicked),
                    static_cast<unsigned long>(recordsTo - recordsFrom));
        closePanel(window);
        return;
    }

    EXPECT_FALSE(sawDone);
    EXPECT_FALSE(logContains(window, " updated to firmware 3.01"));
    if (row.ending == Ending::NotStarted) {
        // Nothing was erased; the unit went with the update request, so the
        // link is gone and the buttons are back for when it returns.
        EXPECT_EQ(updateText(window).rfind(kNotStarted, 0), 0u) << updateText(window);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CONNECT)));
        EXPECT_FALSE(logContains(window, " firmware update failed"));
    } else {
        EXPECT_EQ(updateText(window), kFailed);
        EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT));
        EXPECT_TRUE(isShown(window, IDC_UPDATE_PROGRESS));
        // The records that went out: none before the records, else those the
        // unit took before it vanished (any number when only its input died),
        // all of them when the check found the unit without 3.01.
        std::string failedLine = " zembrax H 1234 firmware update failed after ";
        if (row.loss == Loss::AfterRecords)
            failedLine += std::to_string(row.records) + " of 2865 records";
        else if (row.loss == Loss::RejectsRecord || row.loss == Loss::OtherVersion ||
                 row.loss == Loss::SilentAfterRecords)
            failedLine += "2865 of 2865 records";
        else if (row.loss != Loss::InputDeadDuringRecords)
            failedLine += "0 of 2865 records";
        EXPECT_TRUE(logContains(window, failedLine)) << failedLine;
    }
    ASSERT_NE(lostAt, 0u) << "the unit was never lost";
    ASSERT_NE(failedAt, 0u);
    // With the ports closed for the first erase wait, the loss can show only
    // when the reconnect gives up (30 s); a wrong answer to the check shows
    // within its 5 s.
    DWORD allowed = kLossNoticedMs;
    if (row.loss == Loss::InFirstEraseWait) allowed += 4400 + 30000;
    if (row.loss == Loss::RejectsRecord || row.loss == Loss::OtherVersion ||
        row.loss == Loss::SilentAfterRecords)
        allowed += 5000;
    EXPECT_LE(failedAt - lostAt, allowed);
    std::printf("[measure] %s: failed %lu ms after the loss\n", row.name,
                static_cast<unsigned long>(failedAt - lostAt));

    if (row.loss == Loss::SilentAfterRecords) { // it took the image: a new start finds it running 3.01
        simIgnoreIdentityRequests(0, 0);
        closePanel(window);
        window = reopenPanel();
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
        closePanel(window);
        return;
    }
    // The unit comes back and the panel starts again: a new update ends at 0301.
    simClearFailures();
    simSetOutputDoneDelay(0);
    simSetFirmwareFailure(0, SIM_FIRMWARE_NORMAL, 0);
    simIgnoreIdentityRequests(0, 0);
    simReplug(0);
    closePanel(window);
    window = reopenPanel();
    connectAndIdentify(window);
    ASSERT_TRUE(isShown(window, IDC_UPDATE_FIRMWARE)) << controlText(window, IDC_STATUS);
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    driveUpdate(window);
    EXPECT_EQ(updateText(window), kDone);
    char firmware[5] = {};
    simGetIdentity(0, nullptr, firmware, nullptr);
    EXPECT_STREQ(firmware, "0301");
    closePanel(window);
}

// UpdateUnderRealTimers.Row: one row, in a process started for it.
class RowTest : public ::testing::Test {
  public:
    explicit RowTest(int row) : row(row) {}
    void TestBody() override { runRow(kRows[row]); }

  private:
    int row;
};

const bool rowRegistered = [] {
    const char* row = std::getenv(kRowVariable);
    if (!row) return false;
    int index = std::atoi(row);
    if (index < 0 || index >= kRowCount) return false;
    ::testing::RegisterTest("UpdateUnderRealTimers", "Row", nullptr, kRows[index].name, __FILE__, __LINE__,
                            [index]() -> ::testing::Test* { return new RowTest(index); });
    return true;
}();

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(UpdateUnderRealTimers, EveryPhase) {
    if (rowRegistered) GTEST_SKIP() << "a row's own process";
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);

    struct Run {
        PROCESS_INFORMATION process{};
        std::string output;
    };
    std::vector<Run> runs(kRowCount);
    for (int i = 0; i < kRowCount; ++i) {
        Run& run = runs[i];
        run.output = std::string(temp) + "zembrax-real-timer-row-" + std::to_string(GetCurrentProcessId()) +
                     "-" + std::to_string(i) + ".txt";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileA(run.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = out;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::string commandLine = std::string(self);
        commandLine.insert(0, 1, '"');
        commandLine.append("\" --gtest_filter=UpdateUnderRealTimers.Row");
        SetEnvironmentVariableA(kRowVariable, std::to_string(i).c_str());
        BOOL started = CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &run.process);
        SetEnvironmentVariableA(kRowVariable, nullptr);
        CloseHandle(out);
        ASSERT_TRUE(started) << kRows[i].name;
    }
    for (int i = 0; i < kRowCount; ++i) {
        Run& run = runs[i];
        SCOPED_TRACE(kRows[i].name);
        DWORD waited = WaitForSingleObject(run.process.hProcess, 2 * kRowTimeoutMs);
        if (waited != WAIT_OBJECT_0) TerminateProcess(run.process.hProcess, 99);
        DWORD exitCode = 12345;
        GetExitCodeProcess(run.process.hProcess, &exitCode);
        CloseHandle(run.process.hProcess);
        CloseHandle(run.process.hThread);
        std::string output = readFile(run.output);
        DeleteFileA(run.output.c_str());
        EXPECT_EQ(exitCode, 0u) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        for (size_t at = output.find("[measure]"); at != std::string::npos;
             at = output.find("[measure]", at + 1))
            std::printf("%s\n", output.substr(at, output.find('\n', at) - at).c_str());
    }
}

} // namespace
