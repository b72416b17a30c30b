// Time code: MTC quarter frames and full frames to the display, the check
// against the PC clock, the watchdog, MMC transport, and the jams to the PC
// clock with their triggers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/panel.h"
#include "core/resource.h"
#include "core/timer.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

const Bytes kMmcRead = {0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7};
const Bytes kMmcPlay = {0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7};
const Bytes kMmcStop = {0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7};

Bytes locate(uint8_t hours, uint8_t minutes, uint8_t seconds) {
    return {0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, hours, minutes, seconds, 0x00, 0x00, 0xF7};
}
Bytes playMode(uint8_t mode) {
    return {0xF0, 0x2C, 0x5A, 0x42, 0x3E, mode, 0xF7};
}

class TimeCode : public ::testing::Test {
  protected:
    void SetUp() override { window = openPanel(); }
    void TearDown() override { closePanel(window); }

    void connected() {
        connectAndIdentify(window);
        runRequestSequence(window);
        clearSent();
    }
    // One quarter-frame message as the open MIDI input delivers it.
    void piece(int number, int value) {
        SendMessageA(window, MM_MIM_DATA, reinterpret_cast<WPARAM>(panel.inputPort),
                     0xF1 | ((number << 4 | value) << 8));
    }
    // The eight pieces of one cycle: frames, seconds, minutes, hours with rate code.
    void cycle(int h, int m, int s, int f, int rate) {
        piece(0, f & 0xF);
        piece(1, f >> 4);
        piece(2, s & 0xF);
        piece(3, s >> 4);
        piece(4, m & 0xF);
        piece(5, m >> 4);
        piece(6, h & 0xF);
        piece(7, (h >> 4) | (rate << 1));
    }
    // Registers at h:m:s from an earlier cycle, then pieces 0 and 1 of frame f at the given PC time.
    std::string check(int h, int m, int s, int f, WORD pcH, WORD pcM, WORD pcS, WORD pcMs) {
        cycle(h, m, s, 5, 1);
        setClock(2026, 3, 7, pcH, pcM, pcS, pcMs);
        piece(0, f & 0xF);
        piece(1, f >> 4);
        return controlText(window, IDC_MTC_ERROR);
    }
    void receive(const Bytes& message) {
        simSendRaw(0, message.data(), message.size());
        deliver();
    }
    HWND window = nullptr;
};

TEST_F(TimeCode, QuarterFramesShowTimeAndRateLabel) {
    connected(); // quarter frames count only from the open input
    struct {
        int rate;
        bool pullDown, reader;
        const char* label;
    } cases[] = {
        {0, false, false, "24 fps"},  {1, false, false, "25 fps"},   {2, false, false, "29.97 DF"},
        {3, false, false, "30 fps"},  {0, true, false, "23.98 fps"}, {3, true, false, "29.97 fps"},
        {2, true, false, "29.97 DF"}, {0, false, true, "fo 24"},     {1, true, true, "fo 25"},
        {2, false, true, "fo DF"},    {3, true, true, "fo 30"},
    };
    for (auto c : cases) {
        panel.pullDown = c.pullDown;
        panel.ltcReaderMode = c.reader;
        cycle(19, 42, 7, 23, c.rate);
        EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), std::string("19:42:07:23 ") + c.label);
    }
    piece(6, 3);
    piece(7, 5); // rate code 2, hour bit 4
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY).substr(0, 3), "19:");
}

TEST_F(TimeCode, ClockCheckComparesTheWholeTimeOfDay) {
    connected(); // quarter frames count only from the open input
    const char* const kAhead = "MTC frame 00\nerror + ";
    const char* const kBehind = "MTC frame 00\nerror - ";
    const char* const kOff = "MTC frame 00\nerror > 1 second";
    const struct {
        int h, m, s;            // registers: the second before the frame
        WORD pcH, pcM, pcS, ms; // PC time at piece 0
        std::string text;
    } cases[] = {
        {10, 20, 30, 10, 20, 30, 980, std::string(kAhead) + "020 ms"},
        {10, 20, 30, 10, 20, 30, 0, std::string(kAhead) + "1000 ms"}, // four digits
        {10, 20, 30, 10, 20, 31, 70, std::string(kBehind) + "070 ms"},
        {11, 59, 59, 12, 0, 0, 20, std::string(kBehind) + "020 ms"}, // across the hour
        {23, 59, 59, 0, 0, 0, 20, std::string(kBehind) + "020 ms"},  // across midnight
        {23, 59, 59, 23, 59, 59, 900, std::string(kAhead) + "100 ms"},
        {10, 20, 30, 10, 21, 31, 100, kOff}, // one minute off
        {10, 20, 30, 10, 21, 1, 100, kOff},
        {10, 20, 30, 10, 21, 30, 500, kOff},
        // At PC seconds 0, 1 and 59 too, minutes and hours count.
        {10, 20, 0, 10, 25, 1, 50, kOff},
        {9, 59, 59, 10, 0, 0, 20, std::string(kBehind) + "020 ms"},
        {8, 59, 59, 10, 0, 0, 20, kOff}, // one hour off
        {9, 0, 0, 10, 0, 1, 20, kOff},
        {9, 0, 58, 10, 0, 59, 20, kOff},
        {9, 0, 59, 10, 0, 59, 20, kOff},
        {22, 59, 59, 0, 0, 0, 20, kOff}, // midnight, one hour off
        {10, 60, 0, 11, 0, 1, 20, kOff}, // registers beyond a time of day
        {24, 0, 0, 0, 0, 1, 20, kOff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.h) + ":" + std::to_string(c.m) + ":" + std::to_string(c.s) + " at " +
                     std::to_string(c.pcH) + ":" + std::to_string(c.pcM) + ":" + std::to_string(c.pcS));
        panel.mtcErrorCount = 2;
        EXPECT_EQ(check(c.h, c.m, c.s, 0, c.pcH, c.pcM, c.pcS, c.ms), c.text);
        EXPECT_EQ(panel.mtcErrorCount, c.text == kOff ? 3 : 0);
    }
}

TEST_F(TimeCode, FrameOneChecksShowOnlyAfterAnotherFrameOneCheck) {
    connected(); // quarter frames count only from the open input
    EXPECT_EQ(check(10, 0, 1, 0, 10, 0, 2, 10), "MTC frame 00\nerror - 010 ms");
    check(10, 0, 2, 1, 10, 0, 3, 30); // 25 fps: the next second begins on frame 1
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "MTC frame 00\nerror - 010 ms");
    check(10, 0, 3, 0, 10, 0, 4, 40);
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "MTC frame 00\nerror - 040 ms");
    // A source whose cycles always start on odd frames: shown from the second check on.
    check(10, 0, 4, 1, 10, 0, 5, 50);
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "MTC frame 00\nerror - 040 ms");
    check(10, 0, 5, 1, 10, 0, 6, 60);
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "MTC frame 01\nerror - 060 ms");
}

TEST_F(TimeCode, FourFailedChecksPostOneJamOnlyWithAutoJam) {
    connected();
    SendDlgItemMessageA(window, IDC_AUTO_JAM, BM_SETCHECK, BST_CHECKED, 0);
    for (int i = 0; i < 3; ++i)
        check(10, 0, 0, 0, 11, 0, 0, 0);
    EXPECT_EQ(panel.mtcErrorCount, 3);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_NOREMOVE));
    check(10, 0, 0, 0, 11, 0, 0, 0);
    int posted = 0;
    while (PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE))
        if (LOWORD(msg.wParam) == IDC_JAM_SYSTEM_TIME && msg.lParam == 1) ++posted;
    EXPECT_EQ(posted, 1);

    SendDlgItemMessageA(window, IDC_AUTO_JAM, BM_SETCHECK, BST_UNCHECKED, 0);
    for (int i = 0; i < 6; ++i)
        check(10, 0, 0, 0, 11, 0, 0, 0);
    EXPECT_EQ(panel.mtcErrorCount, 4);
    EXPECT_FALSE(PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_NOREMOVE));
}

TEST_F(TimeCode, FullFrames) {
    connected();
    receive({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x0A, 0x0B, 0x0C, 0xF7});
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), "01:10:11:12 fo 25");
    panel.rateTextRequest = true;
    receive({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x0A, 0x0B, 0x0C, 0xF7});
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), "01:10:11:12 25 fps");
    EXPECT_FALSE(panel.rateTextRequest);
    panel.rateTextRequest = true;
    panel.pullDown = true;
    receive({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x62, 0x00, 0x00, 0x00, 0xF7});
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), "02:00:00:00 29.97 fps");
    EXPECT_FALSE(panel.pullDown);
    receive({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x0A, 0x0B, 0xF7}); // 9 bytes: ignored
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), "02:00:00:00 29.97 fps");
}

TEST_F(TimeCode, WatchdogNoticesAbsentMtcAndAsksForTheModeWhenItReturns) {
    connected();
    cycle(1, 2, 3, 4, 1);
    SetDlgItemTextA(window, IDC_MTC_ERROR, "");
    for (int i = 0; i < 4; ++i)
        tick(window, kTimerMtcWatchdog);
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "");
    panel.pullDown = panel.ltcReaderMode = true;
    tick(window, kTimerMtcWatchdog);
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "no MTC present");
    EXPECT_EQ(controlText(window, IDC_MTC_MODE), " ");
    EXPECT_FALSE(panel.pullDown);
    EXPECT_FALSE(panel.ltcReaderMode);
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(timerRunning(window, kTimerMtcWatchdog, 50)); // nothing to watch until MTC returns
    cycle(1, 2, 3, 6, 1);
    cycle(1, 2, 3, 8, 1);
    EXPECT_EQ(sent(), std::vector<Bytes>{kMmcRead}); // once
    EXPECT_EQ(panel.mtcWatchdog, 0);
    EXPECT_TRUE(timerRunning(window, kTimerMtcWatchdog, 50));
}

TEST_F(TimeCode, WatchdogUnderRealTimersNoticesEveryAbsence) {
    connected();
    for (int absence = 1; absence <= 2; ++absence) {
        SCOPED_TRACE(absence);
        for (int f = 0; f < 10; f += 2)
            cycle(1, 2, 3, f, 1);
        EXPECT_EQ(panel.mtcWatchdog, 0);
        SetDlgItemTextA(window, IDC_MTC_ERROR, "");
        EXPECT_TRUE(runMessageLoop(5000, [] { return panel.mtcWatchdog == 5; }))
            << "MTC stopped, and nobody noticed";
        EXPECT_EQ(controlText(window, IDC_MTC_ERROR), "no MTC present");
    }
}

TEST_F(TimeCode, LocateBytesForEveryRate) {
    connected();
    SetDlgItemTextA(window, IDC_LOCATE_HOURS, "10");
    SetDlgItemTextA(window, IDC_LOCATE_MINUTES, "20");
    SetDlgItemTextA(window, IDC_LOCATE_SECONDS, "30");
    const struct {
        int index;
        uint8_t hours;
        bool pullDown;
    } rates[] = {
        {0, 0x0A, false}, {1, 0x2A, false}, {2, 0x4A, false},
        {3, 0x6A, false}, {4, 0x0A, true},  {5, 0x6A, true},
    };
    for (auto r : rates) {
        SCOPED_TRACE(r.index);
        // The full frame that answers the LOCATE before, handled now: once this
        // LOCATE has gone out it would follow at once and change both flags.
        deliver();
        panel.pullDown = false;
        SendDlgItemMessageA(window, IDC_LOCATE_RATE, LB_SETCURSEL, r.index, 0);
        command(window, IDC_LOCATE_RATE, LBN_SELCHANGE);
        clearSent();
        // The click alone: this locate makes the unit send the full frame of the last one at
        // once, which clears the request when it is handled.
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_MMC_LOCATE, BN_CLICKED), 0);
        EXPECT_EQ(sent(), std::vector<Bytes>{locate(r.hours, 20, 30)});
        EXPECT_EQ(panel.pullDown, r.pullDown);
        EXPECT_TRUE(panel.rateTextRequest);
        deliver();
    }
    SetDlgItemTextA(window, IDC_LOCATE_HOURS, "40");
    SendDlgItemMessageA(window, IDC_LOCATE_RATE, LB_SETCURSEL, 0, 0);
    command(window, IDC_LOCATE_RATE, LBN_SELCHANGE);
    clearSent();
    command(window, IDC_MMC_LOCATE, BN_CLICKED);
    EXPECT_EQ(sent(), std::vector<Bytes>{locate(8, 20, 30)}); // 40 AND 0x1F
    SendDlgItemMessageA(window, IDC_LOCATE_RATE, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    command(window, IDC_LOCATE_RATE, LBN_SELCHANGE);
    EXPECT_EQ(panel.locateRateIndex, 0); // no selection: unchanged
}

TEST_F(TimeCode, PlayStopAndModeResponse) {
    connected();
    command(window, IDC_MMC_PLAY, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{playMode(2), kMmcPlay}));
    clearSent();
    panel.locateRateIndex = 4;
    command(window, IDC_MMC_PLAY, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{playMode(3), kMmcPlay}));
    clearSent();
    panel.mtcWatchdog = 5;
    panel.rateTextRequest = false;
    command(window, IDC_MMC_STOP, BN_CLICKED);
    EXPECT_EQ(sent(), std::vector<Bytes>{kMmcStop});
    EXPECT_FALSE(panel.rateTextRequest);
    panel.mtcWatchdog = 0;
    command(window, IDC_MMC_STOP, BN_CLICKED);
    EXPECT_TRUE(panel.rateTextRequest);

    clearSent();
    command(window, IDC_JAM_LTC, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x7F, 0x7F, 0x06, 0x4A, 0x01, 0x02, 0xF7}}));
    size_t before = logLines(window).size();
    receive({0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x1A, 0xF7});
    EXPECT_EQ(controlText(window, IDC_MTC_MODE), "MMC controlled\nMTC and LTC Generator");
    EXPECT_TRUE(panel.pullDown);
    EXPECT_EQ(logLines(window).size(), before + 1);
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Jam Sync to LTC Reader");
    receive({0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x00, 0xF7});
    EXPECT_EQ(controlText(window, IDC_MTC_MODE), "LTC Reader to\nMTC conversion");
    EXPECT_TRUE(panel.ltcReaderMode);
    EXPECT_FALSE(panel.pullDown);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED); // refused in LTC reader mode
    EXPECT_EQ(panel.jamState, JamState::Idle);
    receive({0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x15, 0xF7}); // other mode: only the pull-down bit
    EXPECT_TRUE(panel.ltcReaderMode);
    EXPECT_TRUE(panel.pullDown);
    receive({0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0xF7}); // 7 bytes: ignored
    EXPECT_TRUE(panel.pullDown);
}

TEST_F(TimeCode, ClockTickPeriodsAndRounding) {
    EXPECT_EQ(timerPeriod(kTimerClock), 100u); // the first tick, at start
    const struct {
        WORD h, m, s, ms;
        uint8_t jamState;
        const char* shown;
        UINT period;
    } ticks[] = {
        {12, 34, 56, 700, 0, "12:34:57", 1380},
        {12, 34, 56, 300, 0, "12:34:56", 780},
        {12, 34, 56, 499, 0, "12:34:56", 581},
        {12, 34, 56, 500, 0, "12:34:56", 580},
        {12, 34, 56, 501, 0, "12:34:57", 1579},
        {12, 34, 56, 0, 0, "12:34:56", 1080},
        {12, 34, 56, 999, 0, "12:34:57", 1081},
        {23, 59, 59, 600, 0, "00:00:00", 1480},
        // An armed jam ticks 100 ms earlier (the tick itself then abandons it: no standard).
        {12, 34, 56, 300, 1, "12:34:56", 680},
        {12, 34, 56, 501, 1, "12:34:57", 1479},
    };
    for (const auto& t : ticks) {
        SCOPED_TRACE(std::to_string(t.ms) + " ms");
        panel.jamState = static_cast<JamState>(t.jamState);
        setClock(2026, 3, 7, t.h, t.m, t.s, t.ms);
        tick(window, kTimerClock);
        EXPECT_EQ(controlText(window, IDC_CLOCK_DISPLAY), t.shown);
        EXPECT_EQ(timerPeriod(kTimerClock), t.period);
    }
    EXPECT_TRUE(timerRunning(window, kTimerClock, 100));
}

class Jam : public TimeCode {
  protected:
    void SetUp() override {
        TimeCode::SetUp();
        connected();
    }
    void selectHd(int index) { SendDlgItemMessageA(window, IDC_HD_STANDARD, LB_SETCURSEL, index, 0); }
};

TEST_F(Jam, ToThePcClock) {
    selectHd(2); // 1080i 50
    setClock(2026, 3, 7, 10, 0, 0, 500);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    EXPECT_EQ(panel.jamState, JamState::Armed);
    setClock(2026, 3, 7, 10, 0, 1, 80);
    tick(window, kTimerClock);
    EXPECT_EQ(controlText(window, IDC_CLOCK_DISPLAY), "10:00:01");
    EXPECT_EQ(sent(), std::vector<Bytes>{locate(0x2A, 0, 2)});
    EXPECT_EQ(panel.jamState, JamState::Located);
    setClock(2026, 3, 7, 10, 0, 1, 980);
    tick(window, kTimerClock);
    EXPECT_EQ(controlText(window, IDC_CLOCK_DISPLAY), "10:00:02");
    EXPECT_EQ(sent(), (std::vector<Bytes>{locate(0x2A, 0, 2), playMode(2), kMmcPlay}));
    EXPECT_EQ(logLines(window).back(), "2026.03.07 10:00:01 Jam Sync to Systemtime");
    EXPECT_EQ(panel.jamState, JamState::Done);
}

TEST_F(Jam, RateBitsOfEveryHdStandard) {
    constexpr int kAbandoned = -1;
    const struct {
        const char* entry;
        int rateBits; // of the LOCATE hours byte
    } standards[] = {
        {"1080i 47.95", kAbandoned}, {"1080i 48", 0x00},          {"1080i 50", 0x20}, {"1080i 59.94", 0x40},
        {"1080i 60", 0x60},          {"1080p 23.98", kAbandoned}, {"1080p 24", 0x00}, {"1080p 25", 0x20},
        {"1080p 29.97", 0x40},       {"1080p 30", 0x60},          {"1080p 50", 0x20}, {"1080p 59.94", 0x40},
        {"1080p 60", 0x60},          {"720p 23.98", kAbandoned},  {"720p 24", 0x00},  {"720p 25", 0x20},
        {"720p 29.97", 0x40},        {"720p 30", 0x60},           {"720p 50", 0x20},  {"720p 59.94", 0x40},
        {"720p 60", 0x60},
    };
    std::vector<std::string> entries = listEntries(GetDlgItem(window, IDC_HD_STANDARD));
    ASSERT_EQ(entries.size(), std::size(standards));
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& standard = standards[i];
        SCOPED_TRACE(standard.entry);
        EXPECT_EQ(entries[i], standard.entry);
        selectHd(static_cast<int>(i));
        command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
        setClock(2026, 3, 7, 13, 59, 58, 900); // shows 13:59:59, locates to 14:00:00
        tick(window, kTimerClock);
        if (standard.rateBits == kAbandoned) {
            EXPECT_TRUE(sent().empty());
            EXPECT_EQ(panel.jamState, JamState::Idle);
        } else {
            EXPECT_EQ(sent(), std::vector<Bytes>{locate(static_cast<uint8_t>(14 | standard.rateBits), 0, 0)});
            EXPECT_EQ(panel.jamState, JamState::Located);
        }
        clearSent();
    }
    // Across midnight the hour is 0; without any standard the jam is abandoned.
    selectHd(20);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    setClock(2026, 3, 7, 23, 59, 58, 900);
    tick(window, kTimerClock);
    EXPECT_EQ(sent(), std::vector<Bytes>{locate(0x60, 0, 0)});
    clearSent();
    selectHd(-1);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    tick(window, kTimerClock);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(panel.jamState, JamState::Idle);
}

TEST_F(Jam, WithoutOutputTheLogSaysNothingWasSent) {
    command(window, IDC_RELEASE, BN_CLICKED);
    clearSent();
    selectHd(2);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    setClock(2026, 3, 7, 10, 0, 1, 80);
    tick(window, kTimerClock);
    EXPECT_EQ(panel.jamState, JamState::Located); // the states advance as with a unit
    setClock(2026, 3, 7, 10, 0, 1, 980);
    tick(window, kTimerClock);
    EXPECT_EQ(panel.jamState, JamState::Done);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logLines(window).back(),
              "2026.03.07 10:00:01 Jam Sync to Systemtime not sent: zembrax HD not connected");
}

TEST_F(Jam, DailyTriggerOnceAtItsTime) {
    selectHd(2);
    SendDlgItemMessageA(window, IDC_DAILY_JAM, BM_SETCHECK, BST_CHECKED, 0);
    auto requests = [&] {
        int n = 0;
        MSG msg;
        while (PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE))
            if (LOWORD(msg.wParam) == IDC_JAM_SYSTEM_TIME) ++n;
        return n;
    };
    setClock(2026, 3, 7, 2, 59, 59, 100);
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    EXPECT_EQ(requests(), 0);
    setClock(2026, 3, 7, 3, 0, 0, 80);
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    EXPECT_EQ(requests(), 1);
    setClock(2026, 3, 7, 3, 0, 1, 80);
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    EXPECT_EQ(requests(), 0);

    setClock(2026, 3, 7, 3, 0, 0, 80);
    panel.updateState = UpdatePhase::Records;
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    EXPECT_EQ(requests(), 0);
    panel.updateState = UpdatePhase::Idle;
    panel.ltcReaderMode = true;
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    EXPECT_EQ(requests(), 0);
    panel.ltcReaderMode = false;
}

TEST_F(Jam, AbsentMtcRequestsWithAutoJam) {
    SendDlgItemMessageA(window, IDC_AUTO_JAM, BM_SETCHECK, BST_CHECKED, 0);
    panel.mtcWatchdog = 5;
    SendMessageA(window, WM_TIMER, kTimerClock, 0);
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(LOWORD(msg.wParam), IDC_JAM_SYSTEM_TIME);
}

} // namespace

namespace {

// The unit's generator against the PC clock: both clocks stepped together.
class JamWithGenerator : public TimeCode {
  protected:
    void SetUp() override {
        TimeCode::SetUp();
        simUseManualClock(1);
        now = SYSTEMTIME{2026, 3, 6, 7, 10, 0, 0, 500};
        sync();
        connected();
    }
    void sync() {
        simSetWallClock(&now);
        setClock(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    }
    // Both clocks move in 20 ms steps, the unit's time code delivered after
    // each, so the panel reads the PC time as the pieces arrive.
    void advance(DWORD milliseconds) {
        for (DWORD done = 0; done < milliseconds; done += 20) {
            FILETIME file;
            SystemTimeToFileTime(&now, &file);
            ULARGE_INTEGER t{{file.dwLowDateTime, file.dwHighDateTime}};
            t.QuadPart += 20 * 10000ULL;
            file = FILETIME{t.LowPart, t.HighPart};
            FileTimeToSystemTime(&file, &now);
            simAdvance(20);
            setClock(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
            deliver();
        }
    }
    SYSTEMTIME now{};
};

TEST_F(JamWithGenerator, UnitRunsWithinOneFrameOfThePcClock) {
    SendDlgItemMessageA(window, IDC_HD_STANDARD, LB_SETCURSEL, 2, 0); // 1080i 50: 25 fps time code
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    advance(580); // 10:00:01.080
    tick(window, kTimerClock);
    deliver();
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY), "10:00:02:00 25 fps"); // the full frame after LOCATE
    advance(900);                                                          // 10:00:01.980
    tick(window, kTimerClock);
    deliver();
    EXPECT_EQ(panel.jamState, JamState::Done);
    int atPlay = 9999, current = 9999;
    ASSERT_EQ(simTimeCodeOffset(0, &atPlay, &current), 0);
    EXPECT_LT(std::abs(atPlay), 40) << "offset when PLAY arrived: " << atPlay << " ms";
    advance(3000);
    ASSERT_EQ(simTimeCodeOffset(0, &atPlay, &current), 0);
    EXPECT_LT(std::abs(current), 40) << "offset after three seconds: " << current << " ms";
    // The quarter frames reached the display, and the clock check found the unit in step.
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY).substr(0, 8), "10:00:04");
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY).substr(11), " 25 fps");
    EXPECT_EQ(controlText(window, IDC_MTC_ERROR).find("error >"), std::string::npos)
        << controlText(window, IDC_MTC_ERROR);
    EXPECT_EQ(panel.mtcErrorCount, 0);
}

TEST_F(JamWithGenerator, EveryRateReachesTheDisplayWithItsLabel) {
    const struct {
        int locateIndex;
        const char* label;
    } rates[] = {
        {0, "24 fps"}, {1, "25 fps"}, {2, "29.97 DF"}, {3, "30 fps"}, {4, "23.98 fps"}, {5, "29.97 fps"},
    };
    for (auto r : rates) {
        SCOPED_TRACE(r.label);
        SendDlgItemMessageA(window, IDC_LOCATE_RATE, LB_SETCURSEL, r.locateIndex, 0);
        command(window, IDC_LOCATE_RATE, LBN_SELCHANGE);
        SetDlgItemTextA(window, IDC_LOCATE_HOURS, "1");
        command(window, IDC_MMC_LOCATE, BN_CLICKED);
        deliver();
        for (int i = 0; i < 5; ++i)
            tick(window, kTimerMtcWatchdog);       // stopped: no MTC
        command(window, IDC_MMC_PLAY, BN_CLICKED); // the first cycle asks the unit for its mode again
        deliver();
        advance(1000);
        std::string shown = controlText(window, IDC_MTC_DISPLAY);
        EXPECT_EQ(shown.substr(0, 6), "01:00:");
        EXPECT_EQ(shown.substr(12), r.label);
        command(window, IDC_MMC_STOP, BN_CLICKED);
        deliver();
    }
}

// The jam driven by the panel's own clock ticks through a real message loop,
// against the real PC clock.
TEST(JamUnderRealTimers, UnitRunsFromThePcTime) {
    HWND window = openPanel();
    localTimeSource = GetLocalTime;
    connectAndIdentify(window);
    runRequestSequence(window);
    SendDlgItemMessageA(window, IDC_HD_STANDARD, LB_SETCURSEL, 2, 0); // 1080i 50
    clearSent();
    size_t before = logLines(window).size();
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    EXPECT_TRUE(runMessageLoop(4000, [] { return panel.jamState == JamState::Done; }));
    std::vector<Bytes> messages = sent();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0].size(), 13u);
    EXPECT_EQ(messages[0][7] & 0x60, 0x20);
    EXPECT_EQ(messages[1], playMode(2));
    EXPECT_EQ(messages[2], kMmcPlay);
    std::vector<std::string> lines = logLines(window);
    ASSERT_GT(lines.size(), before);
    EXPECT_EQ(lines.back().substr(20), "Jam Sync to Systemtime");
    int atPlay = 9999;
    ASSERT_EQ(simTimeCodeOffset(0, &atPlay, nullptr), 0);
    EXPECT_LT(std::abs(atPlay), 1000) << "the unit's time code is not the PC's time: " << atPlay << " ms";
    closePanel(window);
}

TEST(DailyJamTime, TimeThatNamesNoTimeOfDayIsIgnoredAndLogged) {
    // A time that names no time of day ticks nothing: no daily jam at 03:00
    // that nobody asked for. The last -D decides.
    const struct {
        const char* arguments;
        int hour, minute;
        bool ticked;         // check box 155 "daily auto jam"
        const char* ignored; // the time in the log line, if any
    } cases[] = {
        {"-D 23:59", 23, 59, true, nullptr},
        {"-D 00:00", 0, 0, true, nullptr},
        {"-D 24:00", 3, 0, false, "24:00"},
        {"-D 23:60", 3, 0, false, "23:60"},
        {"-D 12:60", 3, 0, false, "12:60"},
        {"-d 99:99", 3, 0, false, "99:99"},
        {"-D 7:30", 3, 0, false, "70:00"},
        {"-D4", 3, 0, false, "40:00"},
        {"-D 22:15 -D 25:00", 22, 15, false, "25:00"},
        {"-D 25:00 -D 22:15", 22, 15, true, "25:00"},
        {"-D 7:30 -J -D 06:45", 6, 45, true, "70:00"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.arguments);
        HWND window = openPanel(c.arguments);
        EXPECT_EQ(panel.dailyJamHour, c.hour);
        EXPECT_EQ(panel.dailyJamMinute, c.minute);
        char caption[40];
        snprintf(caption, sizeof caption, " daily auto jam %02d:%02d", c.hour, c.minute);
        EXPECT_EQ(controlText(window, IDC_DAILY_JAM), caption);
        EXPECT_EQ(isChecked(window, IDC_DAILY_JAM), c.ticked);
        std::vector<std::string> lines = logLines(window);
        std::vector<std::string> expected = {
            std::string("2026.03.07 09:05:02 application started ") + c.arguments, kImageKindLine};
        if (c.ignored)
            expected.push_back(std::string("2026.03.07 09:05:02 daily jam time ") + c.ignored +
                               " ignored: no daily jam");
        EXPECT_EQ(lines, expected);
        closePanel(window);
    }
}

TEST_F(JamWithGenerator, JamToTheLtcReader) {
    simSetLtcReader(0, 5, 6, 7, 8, 1, 1);
    command(window, IDC_JAM_LTC, BN_CLICKED);
    deliver();
    int h = 0, m = 0;
    simGetTimeCode(0, &h, &m, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(h, 5);
    EXPECT_EQ(m, 6);
    size_t before = logLines(window).size();
    // The log line comes with the next mode answer, asked for when MTC returns.
    panel.mtcWatchdog = 5;
    advance(200);
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back().substr(20), "Jam Sync to LTC Reader");
}

} // namespace
