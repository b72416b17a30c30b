// Device link against the simulated unit: finding and opening ports,
// identification, the request sequence, the poll, auto connect, Release, the
// dispatcher, event reports, and every failing WinMM call.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <functional>
#include <string>
#include <vector>

#include "core/log.h"
#include "app/pages.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "link/connection.h"
#include "link/midi_port.h"
#include "sim/sim_control.h"

namespace {

const Bytes kIdentityRequest = {0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7};
const Bytes kMmcRead = {0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7};
const Bytes kSettingsRequest = {0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7};
const Bytes kVarispeedRelease = {0xF0, 0x2C, 0x5A, 0x42, 0x5E, 0xF7};

const char* const kStamp = "2026.03.07 09:05:02 ";

class Link : public ::testing::Test {
  protected:
    void open(const char* arguments = "") { window = openPanel(arguments); }
    void SetUp() override { open(); }
    void TearDown() override {
        closePanel(window);
        simClearFailures();
        EXPECT_EQ(simProtocolViolations(0), 0) << "the panel broke the protocol";
    }
    size_t logSize() { return logLines(window).size(); }
    std::vector<std::string> newLogLines(size_t from) {
        std::vector<std::string> lines = logLines(window);
        return {lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end()};
    }
    HWND window = nullptr;
};

TEST(PortNames, MatchTheirFirstThreeLettersInAnyCase) {
    for (const char* name : {"ZEM", "zem", "ZeM", "zEm", "Zem HD MIDI In", "ZEMBRAX"})
        EXPECT_TRUE(matchesPortPrefix(name)) << name;
    for (const char* name : {"", "Z", "ZE", "XZEM", " ZEM", "ZEN", "ZFM"})
        EXPECT_FALSE(matchesPortPrefix(name)) << name;
}

TEST_F(Link, ConnectAsksForTheIdentityAndWaits) {
    SendMessageA(window, WM_COMMAND, IDC_CONNECT, 0); // not yet handled: the unit's reply
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not found 05");
    EXPECT_NE(panel.inputPort, nullptr);
    EXPECT_NE(panel.outputPort, nullptr);
    EXPECT_EQ(sent(), std::vector<Bytes>{kIdentityRequest});
    EXPECT_TRUE(timerRunning(window, kTimerPoll, 500));
    EXPECT_EQ(panel.currentProfile, CurrentProfile::Unknown);
}

TEST_F(Link, OperableUnitIsIdentifiedAndShowsItsPage) {
    size_t before = logSize();
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "zembrax H 1234 connected"});
    EXPECT_EQ(panel.serialNumber, 1234);
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
    EXPECT_TRUE(isShown(window, IDC_SD_STANDARD));
    EXPECT_TRUE(isShown(window, IDC_PAGE_SETTINGS));
    EXPECT_EQ(sent(), (std::vector<Bytes>{kIdentityRequest, kMmcRead}));
    EXPECT_TRUE(timerRunning(window, kTimerMtcWatchdog, 50));
    EXPECT_TRUE(timerRunning(window, kTimerQuerySequence, 20));
}

TEST_F(Link, RequestSequenceSendsOneRequestPerTick) {
    connectAndIdentify(window);
    clearSent();
    const std::vector<Bytes> expected = {
        deviceFrame({0x50, 0x0A}), deviceFrame({0x50, 0x1E}), deviceFrame({0x50, 0x32}),
        deviceFrame({0x50, 0x68}), kVarispeedRelease,         kSettingsRequest,
        deviceFrame({0x56, 0x48}), deviceFrame({0x56, 0x79}), deviceFrame({0x56, 0x51}),
        deviceFrame({0x50, 0x40}), deviceFrame({0x60, 0x01}),
    };
    for (size_t step = 0; step < expected.size(); ++step) {
        EXPECT_TRUE(timerRunning(window, kTimerQuerySequence, 20)) << "before step " << step;
        clearSent();
        tick(window, kTimerQuerySequence);
        EXPECT_EQ(sent(), std::vector<Bytes>{expected[step]}) << "step " << step;
        deliver(); // the unit's answers arrive in between (calibration values are echoed back live)
    }
    EXPECT_FALSE(timerRunning(window, kTimerQuerySequence, 20));
    clearSent();
    tick(window, kTimerQuerySequence); // a late tick sends nothing
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(simUnknownCommands(0), 0);
}

struct IdentityCase {
    uint8_t kind;
    const char* firmware;
    const char* status;
    bool logged;
    PageMode pageMode;
};

TEST_F(Link, IdentityOutcomes) {
    const IdentityCase cases[] = {
        {0x0A, "0301", "zembrax HD connected\nSerial: H 4321 Firmware: 0301", true, PageMode::Settings},
        {0x08, "0301", "zembrax HD connected\nSerial: H 4321 Firmware: 0301", true, PageMode::UpdateNeeded},
        {0x02, "0301", "zembrax HD connected\nSerial: H 4321 Firmware: 0301", true, PageMode::UpdateNeeded},
        {0x0A, "0300", "zembrax HD connected\nSerial: H 4321 Firmware: 0300", true, PageMode::UpdateNeeded},
        {0x0A, "\x7F\x7F\x7F\x7F", "zembrax HD connected\nSerial: H 4321 Firmware: deleted", false,
         PageMode::UpdateNeeded},
    };
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(c.status);
        closePanel(window);
        open();
        simSetIdentity(0, "4321", c.firmware, c.kind);
        size_t before = logSize();
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_STATUS), c.status);
        EXPECT_EQ(newLogLines(before).size(), c.logged ? 1u : 0u);
        EXPECT_EQ(panel.pageMode, c.pageMode);
        EXPECT_EQ(isShown(window, IDC_UPDATE_FIRMWARE), c.pageMode == PageMode::UpdateNeeded);
        EXPECT_EQ(isShown(window, IDC_PAGE_SETTINGS), c.pageMode != PageMode::UpdateNeeded);
        EXPECT_EQ(timerRunning(window, kTimerQuerySequence, 20), c.pageMode != PageMode::UpdateNeeded);
    }
}

TEST_F(Link, ShortOrForeignReportsAreIgnored) {
    connectAndIdentify(window);
    size_t before = logSize();
    std::string status = controlText(window, IDC_STATUS);
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x0A, '9', '9', '9', '9', '0', '3', '0', 0xF7}); // 13 bytes
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x61, 0xF7});                                    // 6 bytes
    unitSends({0xF0, 0x2D, 0x5A, 0x42, 0x61, 0x02, 0xF7});                              // other maker
    unitSends({0xF0, 0x2C, 0x5A, 0x43, 0x61, 0x02, 0xF7});                              // other product
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x14, 0xF7});                              // unknown item
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x33, 0x02, 0xF7});                              // unknown report
    EXPECT_EQ(controlText(window, IDC_STATUS), status);
    EXPECT_EQ(panel.serialNumber, 1234);
    EXPECT_EQ(logSize(), before);
}

TEST_F(Link, PagesComeBackAfterReconnecting) {
    connectAndIdentify(window);
    command(window, IDC_PAGE_CALIBRATION, BN_CLICKED);
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_FALSE(isShown(window, IDC_SC_PHASE));
    connectAndIdentify(window);
    EXPECT_EQ(panel.pageMode, PageMode::Calibration);
    EXPECT_TRUE(isShown(window, IDC_SC_PHASE));

    // A unit that needs an update, then one that does not: the settings page.
    simSetIdentity(0, "1234", "0300", 0x0A);
    connectAndIdentify(window);
    EXPECT_EQ(panel.pageMode, PageMode::UpdateNeeded);
    simSetIdentity(0, "1234", "0301", 0x0A);
    connectAndIdentify(window);
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
    EXPECT_TRUE(isShown(window, IDC_SD_STANDARD));
}

TEST_F(Link, StartOnTimeCodePageOnEveryConnect) {
    closePanel(window);
    open("-T");
    connectAndIdentify(window);
    EXPECT_EQ(panel.pageMode, PageMode::TimeCode);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    connectAndIdentify(window);
    EXPECT_EQ(panel.pageMode, PageMode::TimeCode);
    EXPECT_TRUE(isShown(window, IDC_MMC_LOCATE));
}

TEST_F(Link, SettingsButtonAsksAgainEachTime) {
    connectAndIdentify(window);
    clearSent();
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{kSettingsRequest, kSettingsRequest}));
    command(window, IDC_PAGE_TIME_CODE, BN_CLICKED);
    command(window, IDC_PAGE_CALIBRATION, BN_CLICKED);
    EXPECT_EQ(sent().size(), 2u);
}

// ---- Several units and port names ----

class Units : public Link {
  protected:
    void ports(std::vector<const char*> inputs, std::vector<const char*> outputs) {
        simSetInputPorts(static_cast<int>(inputs.size()), inputs.data());
        simSetOutputPorts(static_cast<int>(outputs.size()), outputs.data());
    }
};

TEST_F(Units, TwoUnitsAreWalkedInTurn) {
    ports({"Other In", "ZEM HD A", "zem HD B"}, {"ZEM HD A", "Other Out", "ZeM HD B"});
    simSetIdentity(simAddUnit(1, 0), "1111", "0301", 0x0A);
    simSetIdentity(simAddUnit(2, 2), "2222", "0301", 0x0A);
    for (const char* serial : {"1111", "2222", "1111"}) {
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_STATUS),
                  std::string("zembrax HD connected\nSerial: H ") + serial + " Firmware: 0301");
    }
    EXPECT_EQ(panel.deviceOrdinal, 1);
}

TEST_F(Units, MoreInputsThanOutputs) {
    ports({"ZEM HD A", "ZEM HD B"}, {"ZEM HD A"});
    simSetIdentity(simAddUnit(0, 0), "1111", "0301", 0x0A);
    simAddUnit(1, -1);
    connectAndIdentify(window);
    EXPECT_EQ(panel.serialNumber, 1111);
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not found 04");
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_EQ(panel.deviceOrdinal, 2);
    panel.serialNumber = 0;
    connectAndIdentify(window);
    EXPECT_EQ(panel.serialNumber, 1111);
}

TEST_F(Units, WhatIsMissingShowsInTheStatus) {
    struct {
        std::vector<const char*> inputs, outputs;
        const char* status;
    } cases[] = {
        {{}, {"ZEM HD"}, "zembrax HD not found 01"},
        {{"Other In", "ZE"}, {"ZEM HD"}, "zembrax HD not found 02"},
        {{"ZEM HD"}, {}, "zembrax HD not found 03"},
        {{"ZEM HD"}, {"Other Out"}, "zembrax HD not found 04"},
    };
    for (auto& c : cases) {
        ports(c.inputs, c.outputs);
        panel.deviceOrdinal = 0;
        size_t before = logSize();
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_STATUS), c.status);
        EXPECT_EQ(panel.inputPort, nullptr);
        EXPECT_EQ(logSize(), before); // nothing is logged for these
    }
}

TEST_F(Units, AtMostThirtyTwoMatchingInputs) {
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back("ZEM port " + std::to_string(i));
    std::vector<const char*> pointers;
    for (auto& n : names)
        pointers.push_back(n.c_str());
    ports(pointers, pointers);
    simAddUnit(39, 39);
    panel.deviceOrdinal = 32; // the next Connect wraps to the first instead of reaching port 33
    connectAndIdentify(window);
    EXPECT_EQ(panel.matchingInputCount, 32);
    EXPECT_EQ(panel.deviceOrdinal, 1);
    EXPECT_EQ(panel.inputDeviceId, 0u);
}

TEST_F(Units, PortWithUnreadableCapabilitiesIsSkipped) {
    ports({"ZEM HD A", "ZEM HD B"}, {"ZEM HD A", "ZEM HD B"});
    simAddUnit(0, 0);
    simAddUnit(1, 1);
    simFailCall("midiInGetDevCapsA", MMSYSERR_NODRIVER, 0, 1);
    command(window, IDC_CONNECT, BN_CLICKED);
    // Input A cannot be read: input B is the first match, paired with the first matching output.
    EXPECT_EQ(panel.matchingInputCount, 1);
    EXPECT_EQ(panel.inputDeviceId, 1u);
    EXPECT_EQ(panel.outputDeviceId, 0u);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not found 05");
}

// ---- Release, poll, auto connect ----

TEST_F(Link, ReleaseTellsTheUnitAndCloses) {
    connectAndIdentify(window);
    runRequestSequence(window);
    clearSent();
    SetDlgItemTextA(window, IDC_VARISPEED_FREQ, "48000533");
    size_t before = logSize();
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{kVarispeedRelease, deviceFrame({0x60, 0x00})}));
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "MIDI connection released"});
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
    EXPECT_EQ(controlText(window, IDC_VARISPEED_FREQ), "");
    EXPECT_EQ(controlText(window, IDC_VARISPEED_TEXT),
              "Enter word clock frequency\nin milli Hertz i.e. 48000533");
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_EQ(panel.outputPort, nullptr);
    EXPECT_FALSE(isShown(window, IDC_PAGE_SETTINGS));
    EXPECT_FALSE(timerRunning(window, kTimerPoll, 500));
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
    EXPECT_EQ(panel.serialNumber, 1234);
}

TEST_F(Link, ReleaseWithNothingOpenOnlyResetsTheWindow) {
    size_t before = logSize();
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
}

TEST_F(Link, UnpluggedUnitIsLostOnTheNextPoll) {
    connectAndIdentify(window);
    tick(window, kTimerPoll);
    EXPECT_NE(panel.inputPort, nullptr); // alive
    simUnplug(0);
    size_t before = logSize();
    // The focus goes to Connect: seen as the dialog's own WM_NEXTDLGCTL, so the
    // check holds whatever window of the desktop is active.
    std::vector<SentMessage> focus = recordSent(window, WM_NEXTDLGCTL, [&] { tick(window, kTimerPoll); });
    EXPECT_EQ(newLogLines(before), std::vector<std::string>{std::string(kStamp) + "MIDI connection lost"});
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_FALSE(timerRunning(window, kTimerPoll, 500));
    EXPECT_FALSE(isShown(window, IDC_PAGE_SETTINGS));
    ASSERT_EQ(focus.size(), 1u);
    EXPECT_EQ(reinterpret_cast<HWND>(focus[0].wParam), GetDlgItem(window, IDC_CONNECT));
    EXPECT_EQ(focus[0].lParam, TRUE);
    simReplug(0);
    connectAndIdentify(window);
    EXPECT_EQ(panel.serialNumber, 1234);
}

TEST_F(Link, AutoConnectOnlyWhileClosedAndNoUpdateRuns) {
    SendDlgItemMessageA(window, IDC_AUTO_CONNECT, BM_SETCHECK, BST_CHECKED, 0);
    command(window, IDC_AUTO_CONNECT, BN_CLICKED);
    EXPECT_TRUE(timerRunning(window, kTimerAutoConnect, 2000));

    panel.updateState = UpdatePhase::AwaitingReply;
    tick(window, kTimerAutoConnect);
    EXPECT_EQ(panel.inputPort, nullptr);
    panel.updateState = UpdatePhase::Idle;

    tick(window, kTimerAutoConnect); // posts Connect
    deliver();
    EXPECT_EQ(panel.serialNumber, 1234);
    clearSent();
    tick(window, kTimerAutoConnect); // connected: nothing
    deliver();
    EXPECT_TRUE(sent().empty());

    SendDlgItemMessageA(window, IDC_AUTO_CONNECT, BM_SETCHECK, BST_UNCHECKED, 0);
    command(window, IDC_AUTO_CONNECT, BN_CLICKED);
    EXPECT_FALSE(timerRunning(window, kTimerAutoConnect, 2000));
}

TEST(AutoConnectSwitch, ShippedStartConnectsByItself) {
    HWND window = openPanel("-A");
    tick(window, kTimerAutoConnect);
    deliver();
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    closePanel(window);
}

// ---- Receiving ----

TEST_F(Link, BackToBackReportsBothArrive) {
    connectAndIdentify(window);
    size_t before = logSize();
    Bytes two = deviceFrame({0x61, 0x03});
    Bytes second = deviceFrame({0x61, 0x05});
    two.insert(two.end(), second.begin(), second.end());
    unitSends(two);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{std::string(kStamp) + "locked to external video reference",
                                        std::string(kStamp) + "locked to external audio reference"}));
    EXPECT_EQ(simLostMessages(0), 0);
}

TEST_F(Link, ManyReportsInARowAllArrive) {
    // Both buffers keep cycling through a burst. The grace a message may wait
    // for a buffer is raised so that the result does not depend on how fast
    // this machine runs the window's handlers.
    simSetInputGrace(1000);
    connectAndIdentify(window);
    size_t before = logSize();
    Bytes burst;
    for (int i = 0; i < 10; ++i) {
        Bytes event = deviceFrame({0x61, 0x02});
        burst.insert(burst.end(), event.begin(), event.end());
    }
    unitSends(burst);
    EXPECT_EQ(newLogLines(before).size(), 10u);
    EXPECT_EQ(simLostMessages(0), 0);
}

TEST_F(Link, MalformedMessageDoesNotSilenceLaterInput) {
    connectAndIdentify(window);
    size_t before = logSize();
    simCorruptNext(0);
    unitSends(deviceFrame({0x61, 0x02}));
    EXPECT_EQ(logSize(), before);
    for (int i = 0; i < 3; ++i)
        unitSends(deviceFrame({0x61, 0x02}));
    EXPECT_EQ(newLogLines(before).size(), 3u);
}

TEST_F(Link, LongMessageArrivesInSeveralBuffersEachDispatched) {
    closePanel(window);
    open("-S");
    connectAndIdentify(window);
    size_t before = logSize();
    Bytes longMessage = {0xF0, 0x2C, 0x5A, 0x42, 0x33};
    longMessage.resize(599, 0x11);
    longMessage.push_back(0xF7); // 600 bytes: 512 + 88
    unitSends(longMessage);
    std::vector<std::string> lines = newLogLines(before);
    // The first buffer has no final F7: neither dumped nor dispatched. The
    // second ends with F7: dumped (88 bytes on two lines), not dispatched.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 7), "<-  11 ");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 10), " 11  F7  \n");
    EXPECT_EQ(simLostMessages(0), 0);
}

TEST_F(Link, LateNotificationForAQueuedBufferIsIgnored) {
    connectAndIdentify(window);
    runRequestSequence(window);
    size_t before = logSize();
    // Both buffers are with the driver; a notification for one of them now is
    // a stale one (posted before a close and reopen): nothing is dispatched
    // again and the buffer is not queued twice.
    ASSERT_EQ(simQueuedInputBuffers(0), 2);
    const InputPair& pair = panel.inputPairs[static_cast<size_t>(panel.inputPair)];
    const WPARAM handle = reinterpret_cast<WPARAM>(panel.inputPort);
    SendMessageA(window, MM_MIM_LONGDATA, handle, reinterpret_cast<LPARAM>(&pair.headerA));
    SendMessageA(window, MM_MIM_LONGERROR, handle, reinterpret_cast<LPARAM>(&pair.headerB));
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
    unitSends(deviceFrame({0x61, 0x02}));
    EXPECT_EQ(logSize(), before + 1);
}

TEST_F(Link, MessageWithoutEndIsIgnored) {
    closePanel(window);
    open("-S");
    connectAndIdentify(window);
    size_t before = logSize();
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x02, 0x00});
    EXPECT_EQ(logSize(), before);
}

TEST_F(Link, RequeueFailureStillDispatchesWhatArrived) {
    connectAndIdentify(window);
    size_t before = logSize();
    simFailCall("midiInAddBuffer", MMSYSERR_NOMEM, 0, 1);
    unitSends(deviceFrame({0x61, 0x02}));
    std::vector<std::string> lines = newLogLines(before);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(kStamp) + "locked to internal reference");
    EXPECT_EQ(lines[1], errorLine(60, MMSYSERR_NOMEM));
    EXPECT_EQ(lines[2], "MIDI input buffer lost: 1 of 2 still queued\n");
    unitSends(deviceFrame({0x61, 0x02})); // the other buffer is still with the driver
    EXPECT_EQ(newLogLines(before).size(), 4u);
}

// ---- Event reports and dumps ----

TEST_F(Link, SyncReportStatusTexts) {
    connectAndIdentify(window);
    runRequestSequence(window);
    struct {
        uint8_t status;
        const char* text;
        bool asksForSettings;
    } cases[] = {
        {0x02, "locked to internal reference", false},
        {0x03, "locked to external video reference", false},
        {0x04, "lost lock to external video reference", false},
        {0x05, "locked to external audio reference", false},
        {0x06, "lost lock to external audio reference", false},
        {0x07, "settings changed with hardware interface", true},
        {0x08, "user profile saved with hardware interface", true},
        {0x00, "unknown value from sync report status", false},
        {0x01, "unknown value from sync report status", false},
        {0x09, "unknown value from sync report status", false},
        {0x7F, "unknown value from sync report status", false},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.text);
        clearSent();
        size_t before = logSize();
        simSendEvent(0, c.status);
        deliver();
        EXPECT_EQ(newLogLines(before), std::vector<std::string>{std::string(kStamp) + c.text});
        EXPECT_EQ(sent(), c.asksForSettings ? std::vector<Bytes>{kSettingsRequest} : std::vector<Bytes>{});
    }
}

TEST_F(Link, DumpsShowBothDirectionsInOrder) {
    closePanel(window);
    open("-S");
    connectAndIdentify(window);
    runRequestSequence(window);
    size_t before = logSize();
    simSendEvent(0, 0x07);
    simWaitIdle(5000);
    // Only the event itself: the settings report it asks for comes later.
    MSG msg;
    while (PeekMessageA(&msg, window, MM_MIM_LONGDATA, MM_MIM_LONGDATA, PM_REMOVE)) {
        DispatchMessageA(&msg);
        break;
    }
    std::vector<std::string> lines = newLogLines(before);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "<-  F0  2C  5A  42  61  07  F7  \n");
    EXPECT_EQ(lines[1], "->  F0  2C  5A  42  40  F7  \n");
    EXPECT_EQ(lines[2], std::string(kStamp) + "settings changed with hardware interface");
    deliver();
    EXPECT_EQ(logLines(window).back().substr(0, 23), "<-  F0  2C  5A  42  41 ");
}

TEST_F(Link, NoDumpsWhileAnUpdateRuns) {
    closePanel(window);
    open("-S");
    connectAndIdentify(window);
    panel.updateState = static_cast<UpdatePhase>(4); // no step of its own: any running update
    size_t before = logSize();
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    deliver();
    simSendEvent(0, 0x02);
    deliver();
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "locked to internal reference"});
    panel.updateState = UpdatePhase::Idle;
}

TEST_F(Link, NothingIsSentOrDumpedWithoutAnOutput) {
    closePanel(window);
    open("-S");
    size_t before = logSize();
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(logSize(), before);
    EXPECT_TRUE(sent().empty());
}

// ---- Failing WinMM calls ----

struct SiteCase {
    const char* function;
    unsigned site;
    MMRESULT code;
};

TEST_F(Link, HalfOpenInputIsAFailedOpen) {
    // Every step after midiInOpen: the one error line, both ports closed again,
    // "not found 05", no poll and no identity request.
    const struct {
        const char* function;
        int skip;
        unsigned site;
        MMRESULT code;
    } cases[] = {{"midiInPrepareHeader", 0, 50, MMSYSERR_NOMEM},
                 {"midiInPrepareHeader", 1, 52, MMSYSERR_NOMEM},
                 {"midiInAddBuffer", 0, 70, MMSYSERR_NOMEM},
                 {"midiInAddBuffer", 1, 72, MMSYSERR_NOMEM},
                 {"midiInStart", 0, 54, MMSYSERR_ERROR}};
    const int misuse = simDriverMisuse();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.site);
        closePanel(window);
        open();
        simFailCall(c.function, c.code, c.skip, 1);
        size_t before = logSize();
        command(window, IDC_CONNECT, BN_CLICKED);
        EXPECT_EQ(newLogLines(before), std::vector<std::string>{errorLine(c.site, c.code)});
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not found 05");
        EXPECT_EQ(panel.inputPort, nullptr);
        EXPECT_EQ(panel.outputPort, nullptr);
        EXPECT_FALSE(timerRunning(window, kTimerPoll, 500));
        EXPECT_FALSE(timerRunning(window, kTimerIdentity, 2000));
        EXPECT_TRUE(sent().empty());
        simClearFailures();
        connectAndIdentify(window); // the ports opened again: the pair came back
        EXPECT_EQ(panel.serialNumber, 1234);
    }
    EXPECT_EQ(simDriverMisuse(), misuse);
}

TEST_F(Link, InputThatCannotOpen) {
    simFailCall("midiInOpen", MMSYSERR_ALLOCATED, 0, 1);
    size_t before = logSize();
    command(window, IDC_CONNECT, BN_CLICKED);
    EXPECT_EQ(newLogLines(before), std::vector<std::string>{errorLine(80, MMSYSERR_ALLOCATED)});
    EXPECT_EQ(controlText(window, IDC_STATUS),
              "zembrax MIDI input can not be opened,\nprobably used by an other application");
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_EQ(panel.outputPort, nullptr);
    EXPECT_FALSE(timerRunning(window, kTimerPoll, 500));
}

TEST_F(Link, OutputThatCannotOpenClosesTheInputToo) {
    simFailCall("midiOutOpen", MMSYSERR_ALLOCATED, 0, 1);
    size_t before = logSize();
    command(window, IDC_CONNECT, BN_CLICKED);
    EXPECT_EQ(newLogLines(before), std::vector<std::string>{errorLine(56, MMSYSERR_ALLOCATED)});
    EXPECT_EQ(controlText(window, IDC_STATUS),
              "zembrax MIDI output can not be opened,\nprobably used by an other application");
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_EQ(panel.outputPort, nullptr);
}

TEST_F(Link, CloseFailuresAreLoggedAndEveryStepIsTaken) {
    const SiteCase cases[] = {
        {"midiInReset", 32, MMSYSERR_ERROR},   {"midiInUnprepareHeader", 34, MMSYSERR_ERROR},
        {"midiInClose", 38, MMSYSERR_ERROR},   {"midiOutReset", 100, MMSYSERR_ERROR},
        {"midiOutClose", 110, MMSYSERR_ERROR},
    };
    for (const SiteCase& c : cases) {
        SCOPED_TRACE(c.function);
        closePanel(window);
        open(); // a port whose close failed stays taken in the driver
        connectAndIdentify(window);
        runRequestSequence(window);
        simFailCall(c.function, c.code, 0, 1);
        closePorts();
        EXPECT_TRUE(logHas(window, errorLine(c.site, c.code)));
        EXPECT_EQ(panel.inputPort, nullptr);
        EXPECT_EQ(panel.outputPort, nullptr);
        simClearFailures();
        size_t after = logSize();
        closePorts(); // twice: nothing more
        EXPECT_EQ(logSize(), after);
    }
    closePanel(window);
    open();
    connectAndIdentify(window);
    simFailCall("midiInUnprepareHeader", MMSYSERR_ERROR, 1, 1);
    closePorts();
    EXPECT_TRUE(logHas(window, errorLine(36, MMSYSERR_ERROR)));
}

TEST_F(Link, SendFailures) {
    closePanel(window);
    open("-S");
    connectAndIdentify(window);
    runRequestSequence(window);

    size_t before = logSize();
    simFailCall("midiOutPrepareHeader", MMSYSERR_NOMEM, 0, 1);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(newLogLines(before), std::vector<std::string>{errorLine(130, MMSYSERR_NOMEM)});

    before = logSize();
    simFailCall("midiOutLongMsg", MIDIERR_NOTREADY, 0, 1);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{errorLine(132, MIDIERR_NOTREADY), ".dwFlags != MHDR_DONE\n",
                                        "->  F0  2C  5A  42  40  F7  \n"}));

    before = logSize();
    simFailCall("midiOutUnprepareHeader", MMSYSERR_ERROR, 0, 1);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    std::vector<std::string> lines = newLogLines(before);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], errorLine(134, MMSYSERR_ERROR));
    EXPECT_EQ(lines[1], "->  F0  2C  5A  42  40  F7  \n");
}

TEST_F(Link, SendResultTellsWhetherTheMessageWentOut) {
    const Bytes request{0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7};
    auto send = [&] { return sendSysEx(request.data(), request.size()); };
    EXPECT_EQ(send(), SendResult::Failed); // no port open
    connectAndIdentify(window);
    struct {
        const char* what;
        std::function<void()> fault;
        SendResult result;
    } cases[] = {
        {"sent", [] {}, SendResult::Sent},
        {"prepare refused", [] { simFailCall("midiOutPrepareHeader", MMSYSERR_NOMEM, 0, 1); },
         SendResult::Failed},
        {"long message refused", [] { simFailCall("midiOutLongMsg", MIDIERR_NOTREADY, 0, 1); },
         SendResult::Failed},
        {"unprepare refused after it went out",
         [] { simFailCall("midiOutUnprepareHeader", MMSYSERR_ERROR, 0, 1); }, SendResult::Sent},
        {"done within the wait", [] { simSetOutputDoneDelay(300 / 4); }, SendResult::Sent},
        {"still the driver's after the wait", [] { simSetOutputDoneDelay(300 + 200); }, SendResult::Failed},
        {"unit unplugged", [] { simUnplug(0); }, SendResult::Failed},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.fault();
        EXPECT_EQ(send(), c.result);
        simSetOutputDoneDelay(0);
    }
    deliver();
}

TEST_F(Link, SlowDriverIsWaitedForAndNeverLeftWithTheHeader) {
    connectAndIdentify(window);
    runRequestSequence(window);
    simSetOutputDoneDelay(50); // within the wait
    size_t before = logSize();
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(logSize(), before);
    simSetOutputDoneDelay(5000); // longer than the wait: the output is reset first
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    EXPECT_EQ(newLogLines(before), std::vector<std::string>{".dwFlags != MHDR_DONE\n"});
    simSetOutputDoneDelay(0);
    deliver();
}

TEST_F(Link, ErrorTextsComeFromTheirSide) {
    size_t before = logSize();
    reportMidiError(MMSYSERR_NOMEM, 99);
    reportMidiError(MMSYSERR_NOMEM, 100);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{errorLine(99, MMSYSERR_NOMEM), errorLine(100, MMSYSERR_NOMEM)}));
    before = logSize();
    reportMidiError(12345, 32); // no text for that code: no line
    EXPECT_EQ(logSize(), before);
}

// ---- Driver faults in the port layer ----

TEST_F(Link, HeaderTheDriverStillHoldsIsNeverReused) {
    connectAndIdentify(window);
    runRequestSequence(window);
    const int misuse = simDriverMisuse();
    clearSent();
    // The driver does not finish within the wait, and the reset that would
    // take the header back fails: the driver may still own it.
    simSetOutputDoneDelay(300 + 200);
    simFailCall("midiOutReset", MMSYSERR_ERROR, 0, 1);
    size_t before = logSize();
    EXPECT_EQ(sendSysEx(kSettingsRequest.data(), kSettingsRequest.size()), SendResult::Failed);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{".dwFlags != MHDR_DONE\n", errorLine(136, MMSYSERR_ERROR),
                                        errorLine(134, MIDIERR_STILLPLAYING)}));
    // The next message goes out at once with another header; the held one is
    // taken back once the driver is done with it.
    simSetOutputDoneDelay(0);
    EXPECT_EQ(sendSysEx(kVarispeedRelease.data(), kVarispeedRelease.size()), SendResult::Sent);
    deliver();
    for (int i = 0; i < 4 + 1; ++i)
        EXPECT_EQ(sendSysEx(kSettingsRequest.data(), kSettingsRequest.size()), SendResult::Sent);
    EXPECT_EQ(sent().size(), 2u + 4 + 1);
    deliver();
    EXPECT_EQ(newLogLines(before).size(), 3u);
    EXPECT_EQ(simDriverMisuse(), misuse);
}

TEST_F(Link, SendWithEverySlotStillHeldSaysSo) {
    connectAndIdentify(window);
    runRequestSequence(window);
    const int misuse = simDriverMisuse();
    auto send = [] { return sendSysEx(kSettingsRequest.data(), kSettingsRequest.size()); };
    // The driver keeps each header past the wait and every reset fails: each
    // of the four send slots stays with the driver.
    simSetOutputDoneDelay(300 + 1500);
    simFailCall("midiOutReset", MMSYSERR_ERROR, 0, 0);
    for (int slot = 0; slot < 4; ++slot)
        EXPECT_EQ(send(), SendResult::Failed);
    size_t before = logSize();
    EXPECT_EQ(send(), SendResult::Failed);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{errorLine(136, MMSYSERR_ERROR), "No free send slot\n"}));
    // Once the driver is done with them, the slots come back.
    simClearFailures();
    simSetOutputDoneDelay(0);
    deliver();
    before = logSize();
    EXPECT_EQ(send(), SendResult::Sent);
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(simDriverMisuse(), misuse);
}

TEST_F(Link, OutputHandlesWhoseCloseFailedGiveTheirSlotsBack) {
    // Under Wine: a refused close frees the handle, its driver keeps the
    // header, and the next open gets the same value.
    simSetWineHandles(1);
    const int misuse = simDriverMisuse();
    // Four connections end with a message the driver still holds (its
    // resets fail): each output close is refused, each handle keeps a slot.
    simFailCall("midiOutReset", MMSYSERR_ERROR, 0, 0);
    HMIDIOUT first = nullptr;
    for (int handle = 0; handle < 4; ++handle) {
        simSetOutputDoneDelay(0);
        connectAndIdentify(window);
        ASSERT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
        if (!first) first = panel.outputPort;
        EXPECT_EQ(panel.outputPort, first); // the freed handle's value again
        simSetOutputDoneDelay(60000);
        EXPECT_EQ(sendSysEx(kSettingsRequest.data(), kSettingsRequest.size()), SendResult::Failed);
        closePorts();
    }
    EXPECT_EQ(simKeptBuffers(), 4);
    // The fifth: the last handle answers that it is gone, which proves nothing,
    // and every slot is still held.
    simSetOutputDoneDelay(0);
    size_t before = logSize();
    command(window, IDC_CONNECT, BN_CLICKED);
    EXPECT_EQ(newLogLines(before),
              (std::vector<std::string>{errorLine(100, MMSYSERR_ERROR), errorLine(110, MMSYSERR_INVALHANDLE),
                                        errorLine(136, MMSYSERR_ERROR), "No free send slot\n"}));
    // The old drivers mark their headers done: the slots are back.
    simClearFailures();
    EXPECT_EQ(simWriteKeptBuffers(nullptr, 0), 4);
    deliver();
    clearSent();
    before = logSize();
    tick(window, kTimerIdentity);
    EXPECT_EQ(sent(), std::vector<Bytes>{kIdentityRequest});
    deliver();
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "zembrax H 1234 connected"});
    EXPECT_EQ(simDriverMisuse(), misuse);
}

TEST_F(Units, InputThatCannotBeClosedKeepsItsBuffersForGood) {
    ports({"ZEM HD A", "ZEM HD B"}, {"ZEM HD A", "ZEM HD B"});
    simSetIdentity(simAddUnit(0, 0), "1111", "0301", 0x0A);
    simSetIdentity(simAddUnit(1, 1), "2222", "0301", 0x0A);
    const int misuse = simDriverMisuse();
    connectAndIdentify(window);
    ASSERT_EQ(panel.serialNumber, 1111);
    const InputPair* first = &panel.inputPairs[static_cast<size_t>(panel.inputPair)];
    // Removal with buffers queued: the reset fails, the buffers are never
    // handed back and the close keeps failing.
    simFailCall("midiInReset", MMSYSERR_NODRIVER, 0, 0);
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_EQ(panel.inputPort, nullptr);
    EXPECT_NE(first->owner, nullptr); // set aside with its handle
    connectAndIdentify(window);       // the next unit, with another pair
    EXPECT_EQ(panel.serialNumber, 2222);
    EXPECT_NE(&panel.inputPairs[static_cast<size_t>(panel.inputPair)], first);
    // The old driver still writes into the old pair and posts it: not the open input's.
    size_t before = logSize();
    simSendEvent(0, 0x04);
    simSendEvent(1, 0x03);
    deliver();
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "locked to external video reference"});
    // The driver lets go: the next Connect closes the old handle and reaches the first unit again.
    simClearFailures();
    connectAndIdentify(window);
    EXPECT_EQ(panel.serialNumber, 1111);
    EXPECT_EQ(simDriverMisuse(), misuse);
}

TEST_F(Link, HandlesTheDriverForgotAreNotClosedAgain) {
    connectAndIdentify(window);
    simReset(); // the driver forgets every open handle
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_TRUE(logHas(window, errorLine(38, MMSYSERR_INVALHANDLE)));
    size_t before = logSize();
    connectAndIdentify(window);
    EXPECT_EQ(newLogLines(before),
              std::vector<std::string>{std::string(kStamp) + "zembrax H 1234 connected"});
}

TEST_F(Link, ReplyThatArrivesAfterThePortsClosedIsDropped) {
    const struct {
        const char* how;
        void (*close)(HWND);
    } ways[] = {
        {"Release", [](HWND w) { SendMessageA(w, WM_COMMAND, IDC_RELEASE, 0); }},
        {"failed Connect",
         [](HWND w) {
             simFailCall("midiOutOpen", MMSYSERR_ALLOCATED, 0, 1);
             SendMessageA(w, WM_COMMAND, IDC_CONNECT, 0);
         }},
        {"lost link",
         [](HWND w) {
             simUnplug(0);
             SendMessageA(w, WM_TIMER, kTimerPoll, 0);
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        SendMessageA(window, WM_COMMAND, IDC_CONNECT, 0);
        ASSERT_EQ(simWaitIdle(5000), 0); // the identity reply is posted, not yet handled
        way.close(window);
        std::string status = controlText(window, IDC_STATUS);
        size_t before = logSize();
        pumpMessages();
        EXPECT_EQ(controlText(window, IDC_STATUS), status);
        EXPECT_EQ(logSize(), before);
        EXPECT_FALSE(isShown(window, IDC_PAGE_SETTINGS));
        EXPECT_FALSE(timerRunning(window, kTimerMtcWatchdog, 50));
        EXPECT_FALSE(timerRunning(window, kTimerQuerySequence, 20));
    }
}

TEST_F(Link, IdentityIsAskedForAgainUntilTheUnitAnswers) {
    simIgnoreIdentityRequests(0, 2);
    connectAndIdentify(window);
    for (int retry = 0; retry < 2; ++retry) {
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not found 05");
        clearSent();
        tick(window, kTimerIdentity);
        EXPECT_EQ(sent(), std::vector<Bytes>{kIdentityRequest});
        deliver();
    }
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    clearSent();
    tick(window, kTimerIdentity); // answered: the repetition ends by itself
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(timerRunning(window, kTimerIdentity, 2000));
}

TEST_F(Link, IdentityRepetitionEndsWithThePorts) {
    const struct {
        const char* how;
        void (*close)(HWND);
    } ways[] = {
        {"Release", [](HWND w) { command(w, IDC_RELEASE, BN_CLICKED); }},
        {"firmware update", [](HWND) { closePorts(); }},
        {"lost link",
         [](HWND w) {
             simUnplug(0);
             tick(w, kTimerPoll);
             simReplug(0);
         }},
        {"WM_CLOSE", [](HWND w) { SendMessageA(w, WM_CLOSE, 0, 0); }},
    };
    simIgnoreIdentityRequests(0, 100);
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        connectAndIdentify(window);
        EXPECT_TRUE(timerRunning(window, kTimerIdentity, 2000));
        way.close(window);
        EXPECT_FALSE(timerRunning(window, kTimerIdentity, 2000));
    }
}

} // namespace
