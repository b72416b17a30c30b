// Firmware image and update: the carried image, reading images of every
// shape, and the whole update against the simulated unit with each way it
// can fail.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/panel.h"
#include "app/resources/resource.h"
#include "firmware/image.h"
#include "firmware/update.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

const char* const kFailed = "Firmware update failed\nUnplug USB connection and close application";
const char* const kHeader = "ZF030103122200000000(c)Kermaveld";

std::vector<uint8_t> image(const std::string& text) {
    return {text.begin(), text.end()};
}

// A small valid image: the header and three records, CR after each line.
std::string smallImage() {
    return std::string(kHeader) +
           "\r:10000000000102030405060708090A0B0C0D0E0F78\r:020000040001F9\r:00000001FF\r";
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
    releaseFirmwareImage();
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
    std::vector<uint8_t> huge(kImageSearchLimit + 100, '\r');
    EXPECT_EQ(findImageEnd(huge), kImageSearchLimit);
    EXPECT_EQ(countImageLines(huge), static_cast<int32_t>(kImageSearchLimit));
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

class Update : public ::testing::Test {
  protected:
    void SetUp() override {
        window = openPanel();
        simSetIdentity(0, "1234", "0300", 0x0A);
        connectAndIdentify(window);
        ASSERT_EQ(panel.pageMode, 1);
        clearSent();
    }
    void TearDown() override { closePanel(window); }

    // Replaces the carried image by a test image (kept alive by the fixture).
    void useImage(const std::string& text) {
        fake = image(text);
        panel.firmwareResource = reinterpret_cast<HGLOBAL>(1);
        panel.firmwareImage = fake.data();
        panel.firmwareSize = fake.size();
    }
    std::string status() { return controlText(window, IDC_UPDATE_TEXT); }
    int bar() { return static_cast<int>(SendDlgItemMessageA(window, IDC_UPDATE_PROGRESS, PBM_GETPOS, 0, 0)); }
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
        EXPECT_EQ(panel.updateState, 1);
        EXPECT_FALSE(buttonsEnabled());
        deliver(); // report 0x0C
        EXPECT_EQ(panel.updateState, 2);
        tick(window, kTimerUpdate);
        EXPECT_EQ(status(), "Erasing firmware ID\n");
        EXPECT_EQ(panel.outputPort, nullptr);
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
        eraseWait();
        tick(window, kTimerUpdate); // reconnect
        deliver();
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: deleted");
        EXPECT_EQ(panel.updateState, 5);
        EXPECT_TRUE(isShown(window, IDC_UPDATE_FIRMWARE)); // the update layout stays
        tick(window, kTimerUpdate);
        EXPECT_EQ(status(), "Erasing code flash\n");
        EXPECT_EQ(panel.updateState, 6);
        eraseWait();
        SendMessageA(window, WM_TIMER, kTimerUpdate, 0); // posts the first record command, not yet handled
        EXPECT_EQ(status(), "Programming firmware 3.01\nWriting to flash");
    }
    // Handles up to n posted record commands.
    void sendRecords(int n) {
        MSG msg;
        for (int i = 0; i < n && PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE); ++i)
            DispatchMessageA(&msg);
    }
    void expectFailed() {
        EXPECT_EQ(status(), kFailed);
        EXPECT_EQ(panel.updateState, 0);
        EXPECT_FALSE(timerRunning(window, kTimerUpdate, 1));
        EXPECT_FALSE(timerRunning(window, kTimerProgress, 40));
        EXPECT_EQ(panel.recordPosition, 0u);
        EXPECT_FALSE(buttonsEnabled());
    }
    std::vector<uint8_t> fake;
    HWND window = nullptr;
};

TEST_F(Update, CarriedImageBringsTheUnitTo301) {
    startAndErase();
    EXPECT_EQ(bar(), 100); // the erase animation's end: full
    sendRecords(28);       // 28 records after the header: below one percent
    EXPECT_EQ(bar(), 100);
    sendRecords(1);
    EXPECT_EQ(bar(), 6); // one percent, shown as 6
    pumpMessages();      // the rest, one posted command each
    deliver();
    EXPECT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(panel.updateState, 7);
    EXPECT_EQ(panel.progressValue, 99); // the bar was set to 104: shown full
    EXPECT_EQ(bar(), 100);
    std::vector<Bytes> messages = sent();
    ASSERT_EQ(messages.size(), 1u + 1u + 1u + 2865u); // 0x0B, identity, header, records
    EXPECT_EQ(messages[0], (Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x0B, 0xF7}));
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

    size_t before = logLines(window).size();
    tick(window, kTimerUpdate); // 3 s later
    deliver();
    EXPECT_EQ(panel.updateState, 0);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CONNECT)));
    std::vector<std::string> lines = logLines(window);
    ASSERT_GE(lines.size(), before + 1);
    EXPECT_EQ(lines[before], "2026.03.07 09:05:02 zembrax H 1234 updated to firmware 3.01");
    EXPECT_EQ(panel.outputPort, nullptr); // released
    int records = 0, data = 0, errors = 0;
    simFirmwareStats(0, &records, &data, &errors);
    EXPECT_EQ(records, 2865);
    EXPECT_EQ(errors, 0);
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(panel.pageMode, 2);
}

TEST_F(Update, SilentUnitGoesStraightToTheHeader) {
    simSetFirmwareFailure(0, SIM_FIRMWARE_SILENT, 0);
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    EXPECT_EQ(panel.updateState, 1);
    tick(window, kTimerUpdate); // 200 ms without report 0x0C
    EXPECT_EQ(panel.updateState, 6);
    EXPECT_NE(panel.outputPort, nullptr); // the ports stayed open
    EXPECT_EQ(sent().back().size(), 35u);
}

TEST_F(Update, StrayAcknowledgementOutsideAnUpdateIsIgnored) {
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x0C, 0xF7});
    EXPECT_EQ(panel.updateState, 0); // auto connect and the automatic jams are not held back
}

TEST_F(Update, ErasedUnitThatNeverComesBackFails) {
    simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AT_ERASE, 0);
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    tick(window, kTimerUpdate);
    eraseWait();
    tick(window, kTimerUpdate); // reconnect posted
    deliver();
    EXPECT_EQ(panel.updateState, 3);
    EXPECT_TRUE(timerRunning(window, kTimerUpdate, kReconnectTimeoutMs));
    tick(window, kTimerUpdate); // the time-out
    expectFailed();
}

TEST_F(Update, LinkLostDuringTheRecordsFails) {
    startAndErase();
    sendRecords(50);
    simUnplug(0);
    tick(window, kTimerPoll);
    expectFailed();
    pumpMessages(); // stale record commands do nothing
    expectFailed();
    int records = 0, data = 0, errors = 0;
    simFirmwareStats(0, &records, &data, &errors);
    EXPECT_LT(records, 2865);
}

TEST_F(Update, ReleaseDuringTheRecordsFails) {
    startAndErase();
    sendRecords(10);
    SendMessageA(window, WM_COMMAND, IDC_RELEASE, 0);
    expectFailed();
}

TEST_F(Update, ImageShapesThatFail) {
    const std::string header = kHeader;
    struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"last record without CR", header + "\r:020000040001F9\r:00000001FF"},
        {"CR LF line ends: a line feed is left after the last CR",
         header + "\r\n:020000040001F9\r\n:00000001FF\r\n"},
        {"0xFF after the last CR", header + "\r:020000040001F9\r:00000001FF\r\xFF:00\r"},
        {"record too long for the buffer", header + "\r:" + std::string(1021, '0') + "\r:00000001FF\r"},
        {"header without CR", header + ":00000001FF\r:00000001FF\r"},
        {"header only", header + "\r"},
        {"shorter than a header", "ZF0301\r"},
        {"empty", ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        closePanel(window);
        SetUp();
        useImage(c.text);
        simSetFirmwareFailure(0, SIM_FIRMWARE_SILENT, 0); // straight to the header
        command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
        if (panel.updateState == 1) {
            tick(window, kTimerUpdate);
            eraseWait();
            tick(window, kTimerUpdate);
            pumpMessages();
        }
        expectFailed();
        panel.firmwareResource = nullptr; // the fixture's image, not a resource
        panel.firmwareImage = nullptr;
    }
}

TEST_F(Update, MissingImageFails) {
    panel.instance = GetModuleHandleA("kernel32.dll"); // a module without the image
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    expectFailed();
    panel.instance = GetModuleHandleA(nullptr);
}

TEST_F(Update, SmallImageEndsDone) {
    useImage(smallImage());
    startAndErase();
    pumpMessages();
    EXPECT_EQ(status(), "Firmware update done\n");
    EXPECT_EQ(sent().back().size(), 15u);
    panel.firmwareResource = nullptr;
    panel.firmwareImage = nullptr;
}

TEST(UpdateTwoUnits, EachUnitIsUpdatedInTurn) {
    HWND window = openPanel();
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
        pumpMessages();
        deliver();
        EXPECT_EQ(panel.updateState, 7);
        tick(window, kTimerUpdate);
        deliver();
        int records = 0, data = 0, errors = 0;
        simFirmwareStats(unit, &records, &data, &errors);
        EXPECT_EQ(records, 2865);
        EXPECT_EQ(errors, 0);
    }
    closePanel(window);
}

TEST(UpdateAfterFailure, RestartedPanelStartsFromTheHeaderAgain) {
    HWND window = openPanel();
    simSetIdentity(0, "1234", "0300", 0x0A);
    connectAndIdentify(window);
    driveToRecords(window);
    for (int i = 0; i < 100; ++i) {
        MSG msg;
        if (PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) DispatchMessageA(&msg);
    }
    SendMessageA(window, WM_COMMAND, IDC_RELEASE, 0); // the update fails; the unit stays erased
    EXPECT_EQ(controlText(window, IDC_UPDATE_TEXT), kFailed);
    DestroyWindow(window);
    pumpMessages();

    // A new start of the panel, as after closing it: the same unit, still erased.
    window = reopenPanel();
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: deleted");
    clearSent();
    driveToRecords(window);
    pumpMessages();
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
