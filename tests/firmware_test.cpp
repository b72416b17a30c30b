// Firmware image and update, driven by hand (timer ticks in place of time):
// the carried image and its check, the whole update against the simulated
// unit, each way it can fail, and closing the window during it. The same
// update under real timers is in update_real_timers_test.cpp.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/main_panel.h"
#include "core/panel.h"
#include "core/resource.h"
#include "firmware/image.h"
#include "firmware/update.h"
#include "harness.h"
#include "link/midi_port.h"
#include "sim/sim_control.h"

namespace {

const char* const kFailed = "Firmware update failed\nUnplug USB connection and close application";
const char* const kHeader = "ZF030103122200000000(c)Kermaveld";
const char* const kStamp = "2026.03.07 09:05:02 ";

std::vector<uint8_t> image(const std::string& text) {
    return {text.begin(), text.end()};
}

// A small valid image: the header and three records, CR after each line.
std::string smallImage() {
    return std::string(kHeader) +
           "\r:10000000000102030405060708090A0B0C0D0E0F78\r:020000040001F9\r:00000001FF\r";
}

// Where line n of an image begins (line 0 is the header).
size_t lineStart(const std::string& text, int n) {
    size_t at = 0;
    for (int i = 0; i < n; ++i)
        at = text.find('\r', at) + 1;
    return at;
}

TEST(FirmwareImage, CarriedImageShape) {
    resetPanelState();
    panel.instance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(openFirmwareImage());
    std::span<const uint8_t> data(panel.firmwareImage, panel.firmwareSize);
    EXPECT_EQ(data.size(), 206545u);
    EXPECT_EQ(countImageLines(data), 2866);
    EXPECT_EQ(findImageEnd(data), data.size());
    EXPECT_EQ(std::string(data.begin(), data.begin() + 32), kHeader);
    EXPECT_EQ(std::string(data.begin() + 33, data.begin() + 42), ":10446F00");
    EXPECT_EQ(std::string(data.end() - 12, data.end()), ":00000001FF\r");
    ImageCheck check = checkFirmwareImage(data);
    EXPECT_EQ(check.fault, ImageFault::None);
    EXPECT_EQ(check.lines, 2866);
    EXPECT_EQ(readFirmwareKind(), FirmwareKind::StandIn);
    releaseFirmwareImage();
}

TEST(FirmwareImage, KindMarkers) {
    std::string product = besideTestProgram("blackbox\\zembrax-panel.exe");
    HMODULE productModule = LoadLibraryExA(product.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(productModule, nullptr);
    struct {
        const char* what;
        HMODULE module;
        FirmwareKind kind;
        const char* description;
        bool image;
    } cases[] = {
        {"this test program, as the demo", GetModuleHandleA(nullptr), FirmwareKind::StandIn,
         "stand-in test image, never to be sent to a real unit", true},
        {"the product built without an image", productModule, FirmwareKind::None, "none", false},
        {"a module without a marker", GetModuleHandleA("kernel32.dll"), FirmwareKind::Unknown, "unknown",
         false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetPanelState();
        panel.instance = c.module;
        EXPECT_EQ(readFirmwareKind(), c.kind);
        char description[64];
        describeFirmwareKind(description, sizeof description);
        EXPECT_STREQ(description, c.description);
        EXPECT_EQ(openFirmwareImage(), c.image);
        releaseFirmwareImage();
    }
    FreeLibrary(productModule);
    resetPanelState();
}

TEST(FirmwareImage, LinesAndEndOfImages) {
    struct {
        std::string text;
        int lines;
        size_t end;
    } cases[] = {
        {smallImage(), 4, smallImage().size()},
        {std::string(kHeader) + "\r\n:00000001FF\r\n", 2, 47}, // LF stays in the next line
        {std::string(kHeader) + "\r:00000001FF", 1, 44},       // last record without CR
        {std::string(kHeader) + "\r:0100\xFF"
                                "00000001FF\r:x\r",
         1, 38}, // ends at the 0xFF
        {"", 0, 0},
    };
    for (auto& c : cases) {
        std::vector<uint8_t> bytes = image(c.text);
        EXPECT_EQ(countImageLines(bytes), c.lines) << c.text;
        EXPECT_EQ(findImageEnd(bytes), c.end) << c.text;
    }
    std::vector<uint8_t> huge(0xFFFFFu + 100, '\r');
    EXPECT_EQ(findImageEnd(huge), 0xFFFFFu);
    EXPECT_EQ(countImageLines(huge), static_cast<int32_t>(0xFFFFFu));
}

TEST(FirmwareImage, CheckFindsEveryFault) {
    const std::string header = kHeader;
    const std::string data = ":10000000000102030405060708090A0B0C0D0E0F78\r";
    const std::string end = ":00000001FF\r";
    struct {
        const char* what;
        std::string text;
        ImageFault fault;
        int record;
    } cases[] = {
        {"sound", smallImage(), ImageFault::None, 0},
        {"empty", "", ImageFault::Header, 0},
        {"header of 31 characters", header.substr(1) + "\r" + end, ImageFault::Header, 0},
        {"header without ZF", "XF" + header.substr(2) + "\r" + end, ImageFault::Header, 0},
        {"control character in the header", header.substr(0, 31) + "\t\r" + end, ImageFault::Header, 0},
        {"header only", header + "\r", ImageFault::NoEndRecord, 0},
        {"bad checksum", header + "\r" + data + ":020000040001F8\r" + end, ImageFault::Record, 2},
        {"lower-case digit", header + "\r:10000000000102030405060708090a0B0C0D0E0F78\r" + end,
         ImageFault::Record, 1},
        {"no colon", header + "\r" + data.substr(1) + end, ImageFault::Record, 1},
        {"byte count against length", header + "\r:020000040001\r" + end, ImageFault::Record, 1},
        {"record type 06", header + "\r:00000006FA\r" + end, ImageFault::Record, 1},
        {"linear address of one byte", header + "\r:0100000400FB\r" + end, ImageFault::Record, 1},
        {"end-of-file record at another address", header + "\r:00000101FE\r" + end, ImageFault::Record, 1},
        {"CR LF line ends", header + "\r\n" + data, ImageFault::Record, 1},
        {"0xFF in a record",
         header + "\r" + data +
             ":0200\xFF"
             "0040001F9\r" +
             end,
         ImageFault::Record, 2},
        {"empty line", header + "\r\r" + end, ImageFault::Record, 1},
        {"last record without CR", header + "\r" + data + ":00000001FF", ImageFault::Record, 2},
        {"no end-of-file record", header + "\r" + data, ImageFault::NoEndRecord, 0},
        {"a record after the end-of-file record", header + "\r" + end + data, ImageFault::AfterEndRecord, 0},
        {"a line feed after the last CR", header + "\r" + end + "\n", ImageFault::AfterEndRecord, 0},
        {"0xFF after the last CR", header + "\r" + end + "\xFF", ImageFault::AfterEndRecord, 0},
        {"as long as the search limit", std::string(0xFFFFFu, '\r'), ImageFault::TooLarge, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        ImageCheck check = checkFirmwareImage(image(c.text));
        EXPECT_EQ(check.fault, c.fault);
        EXPECT_EQ(check.record, c.record);
        EXPECT_EQ(check.lines, c.fault == ImageFault::None ? 4 : 0);
    }
}

// Drives an update through both erase waits to the start of the records.
void driveToRecords(HWND window) {
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    tick(window, kTimerUpdate);
    for (int i = 0; i < 110; ++i)
        tick(window, kTimerProgress);
    tick(window, kTimerUpdate); // reconnect
    deliver();
    tick(window, kTimerUpdate); // header
    for (int i = 0; i < 110; ++i)
        tick(window, kTimerProgress);
    SendMessageA(window, WM_TIMER, kTimerUpdate, 0); // the first record command is posted, not yet handled
}

int unitRecords(int unit = 0) {
    int records = 0, data = 0, errors = 0;
    simFirmwareStats(unit, &records, &data, &errors);
    EXPECT_EQ(errors, 0);
    return records;
}

class Update : public ::testing::Test {
  protected:
    void SetUp() override {
        window = openPanel();
        simSetIdentity(0, "1234", "0300", 0x0A);
        // A wire as fast as USB: the image does not queue for a minute ahead
        // of the unit's answer to the check after the last record.
        simSetByteTime(0);
        connectAndIdentify(window);
        ASSERT_EQ(panel.pageMode, PageMode::UpdateNeeded);
        clearSent();
    }
    void TearDown() override {
        closePanel(window);
        simClearFailures();
        simSetOutputDoneDelay(0);
    }
    void again() {
        TearDown();
        SetUp();
    }
    std::string status() { return controlText(window, IDC_UPDATE_TEXT); }
    int bar() { return static_cast<int>(SendDlgItemMessageA(window, IDC_UPDATE_PROGRESS, PBM_GETPOS, 0, 0)); }
    // The positions set on the bar (PBM_SETPOS) while work() runs.
    template <typename Work>
    std::vector<int> barPositions(Work work) {
        static std::vector<int>* seen = nullptr;
        static WNDPROC original = nullptr;
        std::vector<int> positions;
        seen = &positions;
        HWND progress = GetDlgItem(window, IDC_UPDATE_PROGRESS);
        original = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(progress, GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
                                  if (m == PBM_SETPOS) seen->push_back(static_cast<int>(w));
                                  return CallWindowProcA(original, h, m, w, l);
                              })));
        work();
        SetWindowLongPtrA(progress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        return positions;
    }
    bool buttonsEnabled() {
        for (int id : {IDC_CONNECT, IDC_RELEASE, IDC_AUTO_CONNECT, IDC_UPDATE_FIRMWARE})
            if (IsWindowEnabled(GetDlgItem(window, id))) return true;
        return false;
    }
    void eraseWait() {
        for (int i = 0; i < 110; ++i)
            tick(window, kTimerProgress);
        EXPECT_FALSE(timerRunning(window, kTimerProgress, 40));
    }
    // Press Update Firmware and follow the unit to the start of the records.
    void startAndErase() {
        // The click alone: report 0x0C follows within milliseconds and must not be handled yet.
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_FIRMWARE, BN_CLICKED), 0);
        EXPECT_EQ(panel.updateState, UpdatePhase::AwaitingReply);
        EXPECT_FALSE(buttonsEnabled());
        EXPECT_EQ(logLines(window).back(), std::string(kStamp) + "zembrax H 1234 firmware update started");
        deliver(); // report 0x0C
        EXPECT_EQ(panel.updateState, UpdatePhase::Accepted);
        tick(window, kTimerUpdate);
        EXPECT_EQ(status(), "Erasing firmware ID\n");
        EXPECT_EQ(panel.outputPort, nullptr);
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
        eraseWait();
        tick(window, kTimerUpdate); // reconnect
        deliver();
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: deleted");
        EXPECT_EQ(panel.updateState, UpdatePhase::HeaderDue);
        EXPECT_TRUE(isShown(window, IDC_UPDATE_FIRMWARE)); // the update layout stays
        tick(window, kTimerUpdate);
        EXPECT_EQ(status(), "Erasing code flash\n");
        EXPECT_EQ(panel.updateState, UpdatePhase::Records);
        eraseWait();
        SendMessageA(window, WM_TIMER, kTimerUpdate, 0); // posts the first record command, not yet handled
        EXPECT_EQ(status(), "Programming firmware 3.01\nWriting to flash");
    }
    // Handles up to n record commands (a few records each); returns the
    // records sent so far.
    int sendCommands(int n) {
        for (int i = 0; i < n && nextRecord(window); ++i) {
        }
        return panel.linesSent - 1;
    }
    // The failure ending, seen on screen whatever was shown before, and the
    // log line with the records that went out.
    void expectFailed(int records) {
        EXPECT_EQ(status(), kFailed);
        EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT));
        EXPECT_TRUE(isShown(window, IDC_UPDATE_PROGRESS));
        EXPECT_EQ(panel.updateState, UpdatePhase::Idle);
        for (UINT_PTR timer : {kTimerUpdate, kTimerProgress, kTimerPoll, kTimerAutoConnect})
            EXPECT_FALSE(timerRunning(window, timer, 1)) << "timer " << timer;
        EXPECT_EQ(panel.recordPosition, 0u);
        EXPECT_EQ(panel.outputPort, nullptr);
        EXPECT_FALSE(buttonsEnabled());
        std::vector<std::string> lines = logLines(window);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), std::string(kStamp) + "zembrax H 1234 firmware update failed after " +
                                    std::to_string(records) + " of " +
                                    std::to_string(panel.imageLineCount - 1) + " records");
    }
    // Nothing went to the unit and the operator can go on: the reason in 115.
    void expectRefused(const std::string& reason) {
        EXPECT_TRUE(sent().empty());
        EXPECT_EQ(status(), reason);
        EXPECT_EQ(panel.updateState, UpdatePhase::Idle);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_UPDATE_FIRMWARE)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CONNECT)));
        EXPECT_NE(panel.outputPort, nullptr);
        EXPECT_EQ(logLines(window).back(),
                  std::string(kStamp) + "zembrax H 1234 firmware update not started: " + reason);
        EXPECT_EQ(simFirmwareState(0), SIM_FIRMWARE_RUNS);
    }
    HWND window = nullptr;
};

TEST_F(Update, CarriedImageBringsTheUnitTo301) {
    startAndErase();
    EXPECT_EQ(bar(), 100); // the erase animation's end: full
    // Every position the records give the bar, in order: the full animation
    // position stays until the first whole percent, shown as 6, then one more
    // per percent.
    std::vector<int> positions = barPositions([&] {
        while (nextRecord(window)) {
        }
    });
    std::vector<int> expected;
    for (int shown = 6; shown <= 104; ++shown)
        expected.push_back(shown);
    EXPECT_EQ(positions, expected);
    EXPECT_TRUE(isShown(window, IDC_UPDATE_PROGRESS)); // painted in between, never left hidden
    // Every record out: the unit is asked whether it runs 3.01 now.
    EXPECT_EQ(status(), "Checking firmware 3.01\n");
    EXPECT_EQ(panel.updateState, UpdatePhase::Confirming);
    EXPECT_TRUE(timerRunning(window, kTimerUpdate, 500));
    size_t before = logLines(window).size();
    deliver(); // its identity: serial 1234, firmware 0301, report 0x0A
    EXPECT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(panel.updateState, UpdatePhase::Done);
    std::vector<std::string> lines = logLines(window);
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
        (std::vector<std::string>{std::string(kStamp) + "zembrax H 1234 connected",
                                  std::string(kStamp) +
                                      "zembrax H 1234 firmware update confirmed: unit reports firmware 0301",
                                  std::string(kStamp) + "zembrax H 1234 updated to firmware 3.01"}));
    EXPECT_EQ(panel.progressValue, 99); // the bar was set to 104: shown full
    EXPECT_EQ(bar(), 100);
    std::vector<Bytes> messages = sent();
    ASSERT_EQ(messages.size(), 1u + 1u + 1u + 2865u + 1u); // 0x0B, identity, header, records, identity
    EXPECT_EQ(messages[0], (Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x0B, 0xF7}));
    EXPECT_EQ(messages.back(), (Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7}));
    messages.pop_back();
    Bytes header = messages[2];
    ASSERT_EQ(header.size(), 35u);
    EXPECT_EQ(std::string(header.begin() + 2, header.end() - 1), kHeader);
    EXPECT_EQ(messages[3].size(), 47u);
    EXPECT_EQ(std::string(messages[3].begin() + 3, messages[3].begin() + 12), ":10446F00");
    Bytes last = {0xF0, 0x2C, 0x7F};
    for (char c : std::string(":00000001FF"))
        last.push_back(static_cast<uint8_t>(c));
    last.push_back(0xF7);
    EXPECT_EQ(messages.back(), last);

    before = logLines(window).size();
    tick(window, kTimerUpdate); // 3 s later
    deliver();
    EXPECT_EQ(panel.updateState, UpdatePhase::Idle);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CONNECT)));
    lines = logLines(window);
    ASSERT_GE(lines.size(), before + 1);
    EXPECT_EQ(lines[before], std::string(kStamp) + "MIDI connection released");
    EXPECT_EQ(panel.outputPort, nullptr); // released
    EXPECT_EQ(unitRecords(), 2865);
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
}

TEST_F(Update, SilentUnitGoesStraightToTheHeader) {
    simSetFirmwareFailure(0, SIM_FIRMWARE_SILENT, 0);
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    EXPECT_EQ(panel.updateState, UpdatePhase::AwaitingReply);
    tick(window, kTimerUpdate); // 200 ms without report 0x0C
    EXPECT_EQ(panel.updateState, UpdatePhase::Records);
    EXPECT_NE(panel.outputPort, nullptr); // the ports stayed open
    EXPECT_EQ(sent().back().size(), 35u);
}

TEST_F(Update, StrayAcknowledgementOutsideAnUpdateIsIgnored) {
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x0C, 0xF7});
    EXPECT_EQ(panel.updateState, UpdatePhase::Idle); // auto connect and the automatic jams are not held back
}

// The reconnect looks for the unit at each check (every 500 ms) and gives up
// after 30 s: ports that are not open bring another Connect, a unit that
// answers with its old firmware is waited for. (A unit that comes back in
// time: update_real_timers_test.cpp.)
TEST_F(Update, ReconnectLooksAgainUntilTheTimeOut) {
    struct {
        const char* what;
        bool vanishes; // the unit unplugs itself as its ports close for the erase; else it
                       // comes back with firmware 0300
    } cases[] = {{"unit gone after the erase", true}, {"unit back with its old firmware", false}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (&c != cases) again();
        if (c.vanishes) simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AT_ERASE, 0);
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
        deliver();
        tick(window, kTimerUpdate); // the ports close, the firmware ID is erased
        if (!c.vanishes) simSetIdentity(0, "1234", "0300", 0x0A);
        eraseWait();
        tick(window, kTimerUpdate); // Connect posted
        deliver();
        EXPECT_EQ(controlText(window, IDC_STATUS),
                  c.vanishes ? "zembrax HD not found 01"
                             : "zembrax HD connected\nSerial: H 1234 Firmware: 0300");
        for (int check = 1; check < 60; ++check) {
            SetDlgItemTextA(window, IDC_STATUS, "");
            tick(window, kTimerUpdate);
            deliver();
            ASSERT_EQ(panel.updateState, UpdatePhase::Reconnecting) << "check " << check;
            EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT));
            // Without open ports each check connects again.
            EXPECT_EQ(controlText(window, IDC_STATUS) != "", c.vanishes) << "check " << check;
        }
        tick(window, kTimerUpdate); // 30 s
        expectFailed(0);
    }
}

TEST_F(Update, LinkLostDuringTheRecordsFails) {
    startAndErase();
    int records = sendCommands(3);
    simUnplug(0);
    size_t before = logLines(window).size();
    tick(window, kTimerPoll);
    expectFailed(records);
    EXPECT_EQ(logLines(window)[before], std::string(kStamp) + "MIDI connection lost");
    pumpMessages(); // stale record commands do nothing
    EXPECT_EQ(status(), kFailed);
    EXPECT_EQ(unitRecords(), records);
}

TEST_F(Update, ReleaseDuringTheRecordsFails) {
    startAndErase();
    int records = sendCommands(1);
    SendMessageA(window, WM_COMMAND, IDC_RELEASE, 0); // hides the update layout
    expectFailed(records);
    // Only the update layout's button with the ports open starts an update.
    clearSent();
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_FIRMWARE, BN_CLICKED), 0);
    deliver();
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(status(), kFailed);
}

// Each way a send can fail, by the long message it hits (0x0B is the first
// after the click, then the identity request, the header, the records).
TEST_F(Update, FailedSendFailsTheUpdate) {
    const int header = 3, firstRecord = 4;
    struct {
        const char* what;
        const char* call;
        int message;
        int records; // went out, as logged
    } cases[] = {
        {"header refused", "midiOutLongMsg", header, 0},
        {"record 42 refused", "midiOutLongMsg", firstRecord + 41, 41},
        {"record 42 not prepared", "midiOutPrepareHeader", firstRecord + 41, 41},
        {"end-of-file record refused", "midiOutLongMsg", firstRecord + 2864, 2864},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        again();
        simFailCall(c.call, MMSYSERR_NODRIVER, c.message - 1, 1);
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
        driveUpdate(window);
        expectFailed(c.records);
        EXPECT_EQ(sent().size(), static_cast<size_t>(c.message - 1));
        EXPECT_NE(status(), "Firmware update done\n");
    }
}

// Before anything was erased a failed send leaves the unit as it was: the
// buttons and the link stay, and the next press reaches 0301. (The unit gone
// with command 0x0B: update_real_timers_test.cpp.)
TEST_F(Update, FailureBeforeTheEraseCanBeRetriedAtOnce) {
    struct {
        const char* what;
        int skip;    // long messages that go out before the one a busy driver refuses
        bool silent; // the unit does not answer command 0x0B
        const char* reason;
    } cases[] = {
        {"command 0x0B refused", 0, false, "update request not sent"},
        {"header refused after an unanswered 0x0B", 1, true, "image header not sent"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (&c != cases) again();
        if (c.silent) simSetFirmwareFailure(0, SIM_FIRMWARE_SILENT, 0);
        simFailCall("midiOutLongMsg", MIDIERR_NOTREADY, c.skip, 1);
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
        deliver();
        if (c.silent) tick(window, kTimerUpdate); // 200 ms without report 0x0C: the header
        EXPECT_EQ(status(), std::string("Firmware update not started\n") + c.reason);
        EXPECT_EQ(panel.updateState, UpdatePhase::Idle);
        for (int id : {IDC_CONNECT, IDC_RELEASE, IDC_AUTO_CONNECT, IDC_UPDATE_FIRMWARE})
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, id))) << id;
        EXPECT_EQ(logLines(window).back(),
                  std::string(kStamp) + "zembrax H 1234 firmware update not started: " + c.reason);
        EXPECT_EQ(simFirmwareState(0), SIM_FIRMWARE_RUNS);
        EXPECT_NE(panel.outputPort, nullptr);
        simSetFirmwareFailure(0, SIM_FIRMWARE_NORMAL, 0);
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED); // at once, again
        driveUpdate(window);
        EXPECT_EQ(status(), "Firmware update done\n");
        char firmware[5] = {};
        simGetIdentity(0, nullptr, firmware, nullptr);
        EXPECT_STREQ(firmware, "0301");
    }
}

// The update's sends wait 2 s for a slow driver, and a record it still holds
// then is never taken back with a reset (which could cut it): the update
// fails, and the output's close waits for the driver instead.
TEST_F(Update, SlowDriverIsWaitedForAndNeverReset) {
    for (DWORD doneAfterMs : {500, 2500}) {
        SCOPED_TRACE(doneAfterMs);
        if (doneAfterMs != 500) again();
        startAndErase();
        int records = sendCommands(2);
        simFailCall("midiOutReset", MMSYSERR_ERROR, 0, 0); // a reset would leave its error line
        simSetOutputDoneDelay(doneAfterMs);
        size_t before = logLines(window).size();
        sendCommands(1);
        std::vector<std::string> lines = logLines(window);
        lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
        for (unsigned site : {100, 136})
            EXPECT_EQ(std::count(lines.begin(), lines.end(), errorLine(site, MMSYSERR_ERROR)), 0);
        if (doneAfterMs == 500) {
            EXPECT_EQ(panel.linesSent - 1, records + 1); // past the 300 ms of other sends
            continue;
        }
        expectFailed(records); // the record the driver still held is not counted
        EXPECT_FALSE(nextRecord(window));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), errorLine(110, MIDIERR_STILLPLAYING)), 1);
    }
}

TEST_F(Update, DamagedImageSendsNothing) {
    const std::string carried = carriedImage();
    auto broken = [&](int line, size_t column, char c) {
        std::string text = carried;
        text[lineStart(text, line) + column] = c;
        return text;
    };
    size_t checksum = lineStart(carried, 18) - lineStart(carried, 17) - 2; // its last digit
    char digit = carried[lineStart(carried, 17) + checksum];
    struct {
        const char* what;
        std::string text;
        const char* reason;
    } cases[] = {
        {"checksum of record 17", broken(17, checksum, digit == '0' ? '1' : '0'),
         "Firmware image damaged: record 17"},
        {"a data digit of record 1000",
         broken(1000, 9, carried[lineStart(carried, 1000) + 9] == 'A' ? 'B' : 'A'),
         "Firmware image damaged: record 1000"},
        {"a character of record 5", broken(5, 12, 'G'), "Firmware image damaged: record 5"},
        {"end-of-file record", broken(2865, 10, 'E'), "Firmware image damaged: record 2865"},
        {"end-of-file record missing", carried.substr(0, lineStart(carried, 2865)),
         "Firmware image damaged: no end-of-file record"},
        {"header", broken(0, 1, 'X'), "Firmware image damaged: header"},
        {"a record after the end-of-file record", carried + ":00000001FF\r",
         "Firmware image damaged: data after the end-of-file record"},
    };
    for (auto& c : cases) { // each refusal leaves the panel as it was: the next press tries again
        SCOPED_TRACE(c.what);
        useFirmwareImage(c.text);
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
        deliver();
        expectRefused(c.reason);
    }
}

TEST_F(Update, BuildWithoutImageSendsNothing) {
    panel.instance = GetModuleHandleA("kernel32.dll"); // a module without the image
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    panel.instance = GetModuleHandleA(nullptr);
    deliver();
    expectRefused("This build carries no firmware image");
}

// The unit leaves right after it accepted the update (it goes to erase): the
// lost link does not take the update layout away, and the update goes on.
TEST_F(Update, LinkLostAfterTheUnitAcceptedKeepsTheUpdateLayout) {
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_FIRMWARE, BN_CLICKED), 0);
    deliver(); // report 0x0C
    ASSERT_EQ(panel.updateState, UpdatePhase::Accepted);
    simUnplug(0);
    tick(window, kTimerPoll);
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT));
    EXPECT_TRUE(isShown(window, IDC_UPDATE_PROGRESS));
    tick(window, kTimerUpdate);
    EXPECT_EQ(status(), "Erasing firmware ID\n");
    EXPECT_EQ(panel.updateState, UpdatePhase::Reconnecting);
    EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT));
    simReplug(0);
}

TEST_F(Update, SmallImageEndsDone) {
    useFirmwareImage(smallImage());
    startAndErase();
    driveUpdate(window);
    EXPECT_EQ(status(), "Firmware update done\n");
    std::vector<Bytes> messages = sent();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2].size(), 15u); // the end-of-file record, then the check
    EXPECT_EQ(messages.back(), (Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7}));
}

TEST_F(Update, ClosingDuringTheUpdateAsksFirst) {
    const MessageBoxSeen question{
        "   Firmware update", "A firmware update is running.\n\nClosing now leaves the zembrax HD without "
                              "working firmware until the update is run again.\n\nClose anyway?"};
    auto close = [&](int answer) {
        return answerMessageBox(window, answer, [&] { SendMessageA(window, WM_CLOSE, 0, 0); });
    };
    startAndErase();
    sendCommands(1);
    // No: the update goes on (the box's own loop ran it meanwhile).
    MessageBoxSeen seen = close(IDNO);
    EXPECT_EQ(seen.caption, question.caption);
    EXPECT_EQ(seen.text, question.text);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_NE(panel.outputPort, nullptr);
    driveUpdate(window);
    EXPECT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(unitRecords(), 2865);
    // Done, waiting to release: the unit has its firmware, nothing to ask.
    seen = close(IDNO);
    EXPECT_EQ(seen.caption, "");
    EXPECT_FALSE(IsWindowVisible(window));

    // Yes: closed as ever, in any phase that leaves the unit erased.
    again();
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    tick(window, kTimerUpdate); // the ports closed, erasing
    seen = close(IDYES);
    EXPECT_EQ(seen.text, question.text);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(panel.outputPort, nullptr);
    EXPECT_EQ(logLines(window).back(),
              std::string(kStamp) + "zembrax H 1234 firmware update abandoned after 0 of 2865 records");
}

// Log-off or shutdown would leave the unit erased: refused while the update
// needs the unit, allowed at rest and once it is done; a session that ends
// anyway leaves a line.
TEST_F(Update, SessionEndWaitsForTheUpdate) {
    auto mayEnd = [&] { return SendMessageA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF); };
    EXPECT_EQ(mayEnd(), TRUE);
    startAndErase();
    int records = sendCommands(1);
    EXPECT_EQ(mayEnd(), FALSE);
    EXPECT_EQ(logLines(window).back(),
              std::string(kStamp) +
                  "zembrax H 1234 firmware update in progress: end of Windows session refused");
    driveUpdate(window);
    ASSERT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(mayEnd(), TRUE);

    again();
    startAndErase();
    records = sendCommands(1);
    SendMessageA(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(logLines(window).back(), std::string(kStamp) +
                                           "zembrax H 1234 firmware update interrupted after " +
                                           std::to_string(records) + " of 2865 records");
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(panel.outputPort, nullptr);
}

// A unit that re-enumerates after the last record is opened again and asked.
TEST_F(Update, CheckOpensTheUnitAgainAfterItReenumerated) {
    startAndErase();
    simIgnoreIdentityRequests(0, 1); // the first question finds it restarting
    while (nextRecord(window)) {
    }
    ASSERT_EQ(status(), "Checking firmware 3.01\n");
    simUnplug(0);
    simReplug(0);
    tick(window, kTimerPoll); // the link is lost
    EXPECT_EQ(panel.outputPort, nullptr);
    EXPECT_TRUE(isShown(window, IDC_UPDATE_TEXT)); // the check's layout stays
    tick(window, kTimerUpdate);                    // 500 ms: Connect to the same unit
    deliver();
    EXPECT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(logLines(window).back(), std::string(kStamp) + "zembrax H 1234 updated to firmware 3.01");
}

TEST(UpdateTwoUnits, EachUnitIsUpdatedInTurn) {
    HWND window = openPanel();
    simSetByteTime(0); // the units answer the check after the records at once
    const char* inputs[] = {"ZEM HD A", "ZEM HD B"};
    simSetInputPorts(2, inputs);
    simSetOutputPorts(2, inputs);
    simSetIdentity(simAddUnit(0, 0), "1111", "0300", 0x0A);
    simSetIdentity(simAddUnit(1, 1), "2222", "0300", 0x0A);
    for (int unit : {0, 1}) {
        SCOPED_TRACE(unit);
        connectAndIdentify(window);
        if (unit == 1) connectAndIdentify(window); // the operator walks on to the second unit
        ASSERT_EQ(panel.serialNumber, unit == 0 ? 1111 : 2222);
        driveToRecords(window);
        EXPECT_EQ(panel.serialNumber, unit == 0 ? 1111 : 2222) << "the reconnect opened the other unit";
        driveUpdate(window);
        EXPECT_EQ(panel.updateState, UpdatePhase::Done);
        tick(window, kTimerUpdate);
        deliver();
        EXPECT_EQ(unitRecords(unit), 2865);
    }
    closePanel(window);
}

// Another erased unit that answers the reconnect (the updated one vanished,
// the ports moved up) ends the update: nothing but the identity request
// reaches it.
TEST(UpdateTwoUnits, AnotherErasedUnitAtTheReconnectEndsTheUpdate) {
    HWND window = openPanel();
    const char* names[] = {"ZEM HD A", "ZEM HD B"};
    simSetInputPorts(2, names);
    simSetOutputPorts(2, names);
    int updated = simAddUnit(0, 0), other = simAddUnit(1, 1);
    simSetIdentity(updated, "1111", "0300", 0x0A);
    simSetIdentity(other, "2222", "\x7F\x7F\x7F\x7F", 0x0A); // left erased by an earlier failure
    simSetFirmwareFailure(updated, SIM_FIRMWARE_VANISH_AT_ERASE, 0);
    connectAndIdentify(window);
    ASSERT_EQ(panel.serialNumber, 1111);
    clearSent(other);
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    tick(window, kTimerUpdate); // the ports close; the unit vanishes
    for (int i = 0; i < 110; ++i)
        tick(window, kTimerProgress);
    tick(window, kTimerUpdate); // Connect: only the other unit is there
    deliver();
    EXPECT_EQ(controlText(window, IDC_UPDATE_TEXT), kFailed);
    EXPECT_EQ(panel.updateState, UpdatePhase::Idle);
    EXPECT_EQ(panel.outputPort, nullptr);
    EXPECT_EQ(logLines(window).back(), std::string(kStamp) +
                                           "zembrax H 1111 firmware update failed after 0 of "
                                           "2865 records: another unit answered: H 2222");
    EXPECT_EQ(sent(other), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7}}));
    closePanel(window);
}

TEST(UpdateAfterFailure, RestartedPanelStartsFromTheHeaderAgain) {
    HWND window = openPanel();
    simSetByteTime(0); // the unit answers the check after the records at once
    simSetIdentity(0, "1234", "0300", 0x0A);
    connectAndIdentify(window);
    driveToRecords(window);
    nextRecord(window);                               // a first part of the records
    SendMessageA(window, WM_COMMAND, IDC_RELEASE, 0); // the update fails; the unit stays erased
    EXPECT_EQ(controlText(window, IDC_UPDATE_TEXT), kFailed);
    closePanel(window);

    // A new start of the panel, as after closing it: the same unit, still erased.
    window = reopenPanel();
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: deleted");
    clearSent();
    driveToRecords(window);
    driveUpdate(window);
    std::vector<Bytes> messages = sent();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[2].size(), 35u); // 0x0B, identity request, then the header again
    EXPECT_EQ(controlText(window, IDC_UPDATE_TEXT), "Firmware update done\n");
    tick(window, kTimerUpdate);
    deliver();
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    closePanel(window);
}

} // namespace
