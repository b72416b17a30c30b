// Window timers: the period each timer of the panel is started with, and the
// link driven by the panel's own timers through a real message loop.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "core/timer.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

using Starts = std::vector<std::pair<UINT_PTR, UINT>>;

// Every start of a timer, in order.
Starts started;

UINT_PTR WINAPI recordStart(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure) {
    started.emplace_back(id, period);
    return SetTimer(window, id, period, procedure);
}

class TimerPeriods : public ::testing::Test {
  protected:
    void SetUp() override {
        started.clear();
        timerStarter = recordStart;
    }
    void TearDown() override {
        closePanel(window);
        timerStarter = SetTimer;
    }
    std::vector<UINT> periodsOf(UINT_PTR id) {
        std::vector<UINT> periods;
        for (auto [timer, period] : started)
            if (timer == id) periods.push_back(period);
        return periods;
    }
    HWND window = nullptr;
};

TEST_F(TimerPeriods, StartConnectAndIdentification) {
    window = openPanel("-A");
    SendDlgItemMessageA(window, IDC_AUTO_CONNECT, BM_SETCHECK, BST_CHECKED, 0);
    command(window, IDC_AUTO_CONNECT, BN_CLICKED);
    connectAndIdentify(window);
    EXPECT_EQ(started, (Starts{{kTimerClock, 100},
                               {kTimerAutoConnect, 2000}, // switch A
                               {kTimerAutoConnect, 2000}, // check box 153
                               {kTimerPoll, 500},
                               {kTimerIdentity, 2000}, // the identity request again while waiting
                               {kTimerMtcWatchdog, 50},
                               {kTimerQuerySequence, 20}}));
    EXPECT_EQ(timerPeriod(kTimerPoll), 500u);
    started.clear();
    runRequestSequence(window);
    for (int i = 0; i < 6; ++i)
        tick(window, kTimerMtcWatchdog);
    tick(window, kTimerPoll);
    EXPECT_EQ(started, Starts{}); // each runs on with its period
}

TEST_F(TimerPeriods, FirmwareUpdate) {
    window = openPanel();
    simSetIdentity(0, "1234", "0300", 0x0A);
    simSetByteTime(0); // the unit answers the check after the records at once
    connectAndIdentify(window);
    started.clear();
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();                  // report 0x0C
    tick(window, kTimerUpdate); // ports closed, first erase wait
    for (int i = 0; i < 110; ++i)
        tick(window, kTimerProgress);
    tick(window, kTimerUpdate); // reconnect, and its look at the ports
    deliver();                  // the erased unit identifies itself
    tick(window, kTimerUpdate); // header, second erase wait
    for (int i = 0; i < 110; ++i)
        tick(window, kTimerProgress);
    // The records go out in bursts of posted commands, with a 1 ms break on
    // timer 2 between bursts; then the pause.
    for (int i = 0; i < 1000 && panel.updateState == UpdatePhase::Records; ++i)
        tick(window, kTimerUpdate);
    deliver(); // the unit's answer to the check after the records: firmware 0301
    ASSERT_EQ(panel.updateState, UpdatePhase::Done);
    // 200 ms for the acknowledgement, 1 ms after each erase wait and after the
    // erased unit's identity, the reconnect's look every 500 ms, the check
    // after the records every 500 ms, 3 s pause.
    std::vector<UINT> periods = periodsOf(kTimerUpdate);
    ASSERT_GE(periods.size(), 7u);
    EXPECT_EQ(std::vector<UINT>(periods.begin(), periods.begin() + 5),
              (std::vector<UINT>{200, 1, 500, 1, 1}));
    EXPECT_EQ(std::vector<UINT>(periods.end() - 2, periods.end()), (std::vector<UINT>{500, 3000}));
    for (size_t i = 5; i + 2 < periods.size(); ++i)
        EXPECT_EQ(periods[i], 1u) << "break " << i;
    EXPECT_EQ(periodsOf(kTimerProgress), (std::vector<UINT>{40, 40}));
    tick(window, kTimerUpdate);
    deliver();
}

// ---- The panel's own timers, under a real message loop ----

TEST(RealTimers, ConnectReadsTheUnitPollNoticesItsLossAutoConnectBringsItBack) {
    HWND window = openPanel();
    auto status = [&] { return controlText(window, IDC_STATUS); };
    const std::string connected = "zembrax HD connected\nSerial: H 1234 Firmware: 0301";
    command(window, IDC_CONNECT, BN_CLICKED);
    // Identity, the request sequence on timer 7 and every answer; timer 4 then
    // finds no MTC.
    auto read = [&] {
        return panel.querySequenceStep == 11 && controlText(window, IDC_OSC_WORDS) != "default TCXO" &&
               controlText(window, IDC_MTC_ERROR) == "no MTC present";
    };
    EXPECT_TRUE(runMessageLoop(5000, read));
    EXPECT_EQ(status(), connected);
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), 1); // the unit's PAL 25
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_PROFILE_LIST, LB_GETCOUNT, 0, 0), 4);

    simUnplug(0); // timer 1 finds it gone
    EXPECT_TRUE(runMessageLoop(3000, [&] { return status() == "zembrax HD not connected"; }));
    EXPECT_EQ(logLines(window).back().substr(20), "MIDI connection lost");

    simReplug(0); // timer 6 connects again
    SendDlgItemMessageA(window, IDC_AUTO_CONNECT, BM_SETCHECK, BST_CHECKED, 0);
    command(window, IDC_AUTO_CONNECT, BN_CLICKED);
    EXPECT_TRUE(runMessageLoop(6000, [&] { return status() == connected && panel.querySequenceStep == 11; }));
    closePanel(window);
    EXPECT_EQ(simProtocolViolations(0), 0);
}

} // namespace
