// The link under driver faults. One table makes every WinMM call site of the
// panel fail, in the operation that uses it, through the simulated unit; a
// second unplugs the unit in every state of the link. Each row checks the log
// lines, what the panel does next, and that a Connect reaches the unit again.
// Then the timed procedures of the link under real timers and the program's
// own kind of message loop.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <functional>
#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "core/timer.h"
#include "harness.h"
#include "link/midi_port.h"
#include "sim/sim_control.h"

namespace {

const char* const kConnected = "zembrax HD connected\nSerial: H 1234 Firmware: 0301";
const char* const kNotConnected = "zembrax HD not connected";
const char* const kWaiting = "zembrax HD not found 05";
const char* const kNotDone = ".dwFlags != MHDR_DONE\n";
const Bytes kSettingsRequest = {0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7};

std::string stamped(const char* text) {
    return std::string("2026.03.07 09:05:02 ") + text;
}

const std::string kLost = stamped("MIDI connection lost");
const std::string kReleased = stamped("MIDI connection released");
const std::string kIdentified = stamped("zembrax H 1234 connected");
const std::string kLocked = stamped("locked to internal reference");

// The operation that makes the call.
enum class Operation {
    Connect, // button 221, and the unit's answer
    Release, // button 222
    Send,    // button "Settings": command 0x40
    Receive, // report 0x61 from the unit
};

void perform(HWND window, Operation operation) {
    switch (operation) {
    case Operation::Connect: connectAndIdentify(window); break;
    case Operation::Release: command(window, IDC_RELEASE, BN_CLICKED); break;
    case Operation::Send:
        command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
        deliver();
        break;
    case Operation::Receive: unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x02, 0xF7}); break;
    }
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override { misuse = simDriverMisuse(); }
    void TearDown() override {
        closePanel(window);
        simClearFailures();
        EXPECT_EQ(simProtocolViolations(0), 0) << "the panel broke the protocol";
        EXPECT_EQ(simDriverMisuse(), misuse) << "the panel misused a MIDI header";
    }
    std::vector<std::string> logSince(size_t from) {
        std::vector<std::string> lines = logLines(window);
        return {lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end()};
    }
    bool portsOpen() { return panel.inputPort && panel.outputPort; }
    // The link is usable again: a Connect ends identified.
    void expectReconnects() {
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_STATUS), kConnected);
        EXPECT_TRUE(portsOpen());
    }
    HWND window = nullptr;
    int misuse = 0;
};

// One failing call: which call, in which operation, and what follows.
struct SiteRow {
    unsigned site;
    const char* function;
    int skip; // calls of the function that succeed first
    MMRESULT code;
    Operation operation;
    std::vector<std::string> log; // every new line, in order
    const char* status;
    bool portsOpen;
    Bytes reached; // what the unit got (Send rows)
};

TEST_F(Faults, EveryCallSiteFailingInItsOperation) {
    const MMRESULT e = MMSYSERR_ERROR;
    const MMRESULT busy = MIDIERR_STILLPLAYING;
    const SiteRow rows[] = {
        // Opening: an input that cannot take both buffers or does not start is no link. Both
        // ports close again after the one error line, and the status stays at "not found 05".
        {50, "midiInPrepareHeader", 0, e, Operation::Connect, {errorLine(50, e)}, kWaiting, false, {}},
        {52, "midiInPrepareHeader", 1, e, Operation::Connect, {errorLine(52, e)}, kWaiting, false, {}},
        {70, "midiInAddBuffer", 0, e, Operation::Connect, {errorLine(70, e)}, kWaiting, false, {}},
        {72, "midiInAddBuffer", 1, e, Operation::Connect, {errorLine(72, e)}, kWaiting, false, {}},
        {54, "midiInStart", 0, e, Operation::Connect, {errorLine(54, e)}, kWaiting, false, {}},
        {56,
         "midiOutOpen",
         0,
         MMSYSERR_ALLOCATED,
         Operation::Connect,
         {errorLine(56, MMSYSERR_ALLOCATED)},
         "zembrax MIDI output can not be opened,\nprobably used by an other application",
         false,
         {}},
        {80,
         "midiInOpen",
         0,
         MMSYSERR_ALLOCATED,
         Operation::Connect,
         {errorLine(80, MMSYSERR_ALLOCATED)},
         "zembrax MIDI input can not be opened,\nprobably used by an other application",
         false,
         {}},
        // Closing: a failed reset leaves both buffers with the driver, so nothing after it works
        // either; the handle is closed again at the next Connect.
        {32,
         "midiInReset",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(32, e), errorLine(34, busy), errorLine(36, busy), errorLine(38, busy)},
         kNotConnected,
         false,
         {}},
        {34,
         "midiInUnprepareHeader",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(34, e)},
         kNotConnected,
         false,
         {}},
        {36,
         "midiInUnprepareHeader",
         1,
         e,
         Operation::Release,
         {kReleased, errorLine(36, e)},
         kNotConnected,
         false,
         {}},
        {38,
         "midiInClose",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(38, e)},
         kNotConnected,
         false,
         {}},
        {100,
         "midiOutReset",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(100, e)},
         kNotConnected,
         false,
         {}},
        {110,
         "midiOutClose",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(110, e)},
         kNotConnected,
         false,
         {}},
        // Sending.
        {130,
         "midiOutPrepareHeader",
         0,
         MMSYSERR_NOMEM,
         Operation::Send,
         {errorLine(130, MMSYSERR_NOMEM)},
         kConnected,
         true,
         {}},
        {132,
         "midiOutLongMsg",
         0,
         MIDIERR_NOTREADY,
         Operation::Send,
         {errorLine(132, MIDIERR_NOTREADY), kNotDone},
         kConnected,
         true,
         {}},
        {134,
         "midiOutUnprepareHeader",
         0,
         e,
         Operation::Send,
         {errorLine(134, e)},
         kConnected,
         true,
         kSettingsRequest},
        // The driver does not finish in time (the row sets a slow output) and the reset fails too.
        {136,
         "midiOutReset",
         0,
         e,
         Operation::Send,
         {kNotDone, errorLine(136, e), errorLine(134, busy)},
         kConnected,
         true,
         kSettingsRequest},
        // Receiving: the message is still dispatched; the other buffer is still queued.
        {60,
         "midiInAddBuffer",
         0,
         e,
         Operation::Receive,
         {kLocked, errorLine(60, e), "MIDI input buffer lost: 1 of 2 still queued\n"},
         kConnected,
         true,
         {}},
        // A send or re-queue that finds the unit gone ends the link at once.
        {130,
         "midiOutPrepareHeader",
         0,
         MMSYSERR_NODRIVER,
         Operation::Send,
         {errorLine(130, MMSYSERR_NODRIVER), kLost},
         kNotConnected,
         false,
         {}},
        {132,
         "midiOutLongMsg",
         0,
         MMSYSERR_INVALHANDLE,
         Operation::Send,
         {errorLine(132, MMSYSERR_INVALHANDLE), kNotDone, kLost},
         kNotConnected,
         false,
         {}},
        {132,
         "midiOutLongMsg",
         0,
         MIDIERR_NODEVICE,
         Operation::Send,
         {errorLine(132, MIDIERR_NODEVICE), kNotDone, kLost},
         kNotConnected,
         false,
         {}},
        {60,
         "midiInAddBuffer",
         0,
         MMSYSERR_NODRIVER,
         Operation::Receive,
         {kLocked, errorLine(60, MMSYSERR_NODRIVER), kLost},
         kNotConnected,
         false,
         {}},
    };
    window = openPanel();
    expectReconnects();
    for (const SiteRow& row : rows) {
        SCOPED_TRACE("site " + std::to_string(row.site) + " " + row.function + " " +
                     std::to_string(row.code));
        if (row.site == 136) simSetOutputDoneDelay(300 + 1000); // a margin for a loaded machine
        simFailCall(row.function, row.code, row.skip, 1);
        clearSent();
        size_t before = logLines(window).size();
        perform(window, row.operation);
        simSetOutputDoneDelay(0);
        EXPECT_EQ(logSince(before), row.log);
        EXPECT_EQ(controlText(window, IDC_STATUS), row.status);
        EXPECT_EQ(portsOpen(), row.portsOpen);
        if (row.operation == Operation::Send) {
            EXPECT_EQ(sent(), row.reached.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{row.reached});
        }
        simClearFailures();
        deliver();
        expectReconnects();
    }
}

// ---- Unplugged in every state of the link ----

// The cable is pulled: the ports vanish, the open handles die, and the driver
// fails sends and midiInStart with MMSYSERR_NODRIVER.
void unplug() {
    simUnplug(0);
    simFailCall("midiOutPrepareHeader", MMSYSERR_NODRIVER, 0, 0);
    simFailCall("midiOutLongMsg", MMSYSERR_NODRIVER, 0, 0);
}

void replug() {
    simClearFailures();
    simIgnoreIdentityRequests(0, 0);
    simReplug(0);
}

struct UnplugRow {
    const char* state;
    const char* arguments;
    void (*enter)(HWND);  // brings the link into the state
    void (*notice)(HWND); // what makes the panel meet the missing unit
    std::vector<std::string> log;
    const char* status;
};

TEST_F(Faults, UnpluggedInEveryStateOfTheLink) {
    const UnplugRow rows[] = {
        {"closed",
         "",
         [](HWND w) { command(w, IDC_RELEASE, BN_CLICKED); },
         [](HWND w) { command(w, IDC_CONNECT, BN_CLICKED); },
         {},
         "zembrax HD not found 01"},
        {"ports open, waiting for the identity",
         "",
         [](HWND w) {
             simIgnoreIdentityRequests(0, 100);
             connectAndIdentify(w);
         },
         [](HWND w) { tick(w, kTimerPoll); },
         {kLost},
         kNotConnected},
        {"request sequence running",
         "",
         [](HWND w) { connectAndIdentify(w); },
         [](HWND w) { tick(w, kTimerQuerySequence); },
         {errorLine(130, MMSYSERR_NODRIVER), kLost},
         kNotConnected},
        {"connected and idle",
         "",
         [](HWND w) {
             connectAndIdentify(w);
             runRequestSequence(w);
         },
         [](HWND w) { tick(w, kTimerPoll); },
         {kLost},
         kNotConnected},
        {"connected with MTC running",
         "",
         [](HWND w) {
             connectAndIdentify(w);
             runRequestSequence(w);
             command(w, IDC_MMC_PLAY, BN_CLICKED);
             Sleep(100); // quarter frames flow
             deliver();
         },
         [](HWND w) { tick(w, kTimerPoll); },
         {kLost},
         kNotConnected},
        {"released while unplugged: the send finds it gone, nothing is released",
         "",
         [](HWND w) {
             connectAndIdentify(w);
             runRequestSequence(w);
         },
         [](HWND w) { command(w, IDC_RELEASE, BN_CLICKED); },
         {errorLine(130, MMSYSERR_NODRIVER), kLost},
         kNotConnected},
        {"SysEx dump on",
         "-S",
         [](HWND w) {
             connectAndIdentify(w);
             runRequestSequence(w);
         },
         [](HWND w) { command(w, IDC_PAGE_SETTINGS, BN_CLICKED); },
         {errorLine(130, MMSYSERR_NODRIVER), kLost},
         kNotConnected},
    };
    for (const UnplugRow& row : rows) {
        SCOPED_TRACE(row.state);
        if (!window || row.arguments[0]) {
            closePanel(window);
            window = openPanel(row.arguments);
            expectReconnects();
        }
        row.enter(window);
        unplug();
        size_t before = logLines(window).size();
        row.notice(window);
        EXPECT_EQ(logSince(before), row.log);
        EXPECT_EQ(controlText(window, IDC_STATUS), row.status);
        EXPECT_FALSE(portsOpen());
        EXPECT_FALSE(timerRunning(window, kTimerPoll, 500));
        EXPECT_FALSE(isShown(window, IDC_PAGE_SETTINGS));
        replug();
        expectReconnects();
    }
}

// ---- Real timers and a real message loop ----

TEST_F(Faults, AutoConnectReachesAUnitThatMissedTheFirstIdentityRequest) {
    // A unit whose USB ports are up before its firmware answers, at power-up.
    window = openPanel("-A");
    simIgnoreIdentityRequests(0, 1);
    EXPECT_TRUE(runMessageLoop(10000, [&] { return controlText(window, IDC_STATUS) == kConnected; }))
        << controlText(window, IDC_STATUS);
    EXPECT_EQ(simCommandCount(0, 0x01), 2);
    EXPECT_TRUE(logHas(window, kIdentified));
}

TEST_F(Faults, PollNoticesAnUnpluggedUnit) {
    window = openPanel();
    connectAndIdentify(window);
    runRequestSequence(window);
    unplug();
    size_t before = logLines(window).size();
    EXPECT_TRUE(runMessageLoop(3000, [&] { return !portsOpen(); }));
    EXPECT_EQ(logSince(before), std::vector<std::string>{kLost});
    EXPECT_EQ(controlText(window, IDC_STATUS), kNotConnected);
    replug();
    expectReconnects();
}

TEST_F(Faults, SendEndsTheLinkWhilePostedMessagesHoldOffThePoll) {
    window = openPanel();
    connectAndIdentify(window);
    runRequestSequence(window);
    unplug();
    size_t before = logLines(window).size();
    // A message is always waiting, so no WM_TIMER comes: only a send can notice.
    int posted = 0;
    EXPECT_TRUE(runMessageLoop(
        3000, [&] { return !portsOpen(); },
        [&] {
            if (!(HIWORD(GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE)) {
                PostMessageA(window, WM_COMMAND, IDC_PAGE_SETTINGS, 0);
                ++posted;
            }
        }));
    EXPECT_EQ(logSince(before), (std::vector<std::string>{errorLine(130, MMSYSERR_NODRIVER), kLost}));
    EXPECT_EQ(posted, 1); // the first send ended it
    pumpMessages();
    replug();
    expectReconnects();
}

// ---- Wine's WinMM: a refused close frees the handle, the next open gets its value ----

// What an old driver writes into the buffers it kept: a report that would show
// in the log if it were taken for the new unit's.
const Bytes kLateReport = {0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x04, 0xF7};
const std::string kLateLine = stamped("locked to external video reference");

bool pairFree(const InputPair& pair) {
    return !pair.owner && !pair.heldA && !pair.heldB;
}

TEST_F(Faults, WineFreedHandleReusedValueAndLateWriteUnderRealTimers) {
    window = openPanel("-A");
    simSetWineHandles(1);
    ASSERT_TRUE(runMessageLoop(10000, [&] { return controlText(window, IDC_STATUS) == kConnected; }));
    const HMIDIIN first = panel.inputPort;
    const int firstPair = panel.inputPair;
    // The poll finds the input dead while both buffers are queued; the reset
    // fails, so the close is refused, and Wine frees the handle all the same.
    simFailCall("midiInStart", MMSYSERR_NODRIVER, 0, 1);
    simFailCall("midiInReset", MMSYSERR_NODRIVER, 0, 1);
    size_t before = logLines(window).size();
    ASSERT_TRUE(runMessageLoop(3000, [&] { return !portsOpen(); }));
    EXPECT_EQ(logSince(before),
              (std::vector<std::string>{errorLine(32, MMSYSERR_NODRIVER), errorLine(34, MIDIERR_STILLPLAYING),
                                        errorLine(36, MIDIERR_STILLPLAYING),
                                        errorLine(38, MIDIERR_STILLPLAYING), kLost}));
    EXPECT_EQ(simKeptBuffers(), 2);
    // Auto connect finds the unit again within its 2 s. The old handle
    // answers that it no longer exists, which proves nothing: its pair is
    // retired, the new open takes another and gets the old handle's value.
    before = logLines(window).size();
    ASSERT_TRUE(runMessageLoop(5000, [&] { return controlText(window, IDC_STATUS) == kConnected; }));
    EXPECT_EQ(logSince(before), (std::vector<std::string>{errorLine(32, MMSYSERR_INVALHANDLE),
                                                          errorLine(34, MMSYSERR_INVALHANDLE),
                                                          errorLine(36, MMSYSERR_INVALHANDLE),
                                                          errorLine(38, MMSYSERR_INVALHANDLE), kIdentified}));
    EXPECT_EQ(panel.inputPort, first);
    ASSERT_NE(panel.inputPair, firstPair);
    const InputPair& retired = panel.inputPairs[static_cast<size_t>(firstPair)];
    EXPECT_FALSE(pairFree(retired));
    // Later the old driver writes into the buffers it kept and hands them back
    // under the value the open input has now: nothing of it is dispatched.
    before = logLines(window).size();
    EXPECT_EQ(simWriteKeptBuffers(kLateReport.data(), kLateReport.size()), 2);
    runMessageLoop(300, [] { return false; });
    EXPECT_EQ(logSince(before), std::vector<std::string>{});
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
    // The link works; once its driver has let go, the retired pair serves the next open.
    unitSends({0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x02, 0xF7});
    EXPECT_EQ(logSince(before), std::vector<std::string>{kLocked});
    command(window, IDC_RELEASE, BN_CLICKED);
    expectReconnects();
    EXPECT_EQ(panel.inputPair, firstPair);
}

TEST_F(Faults, FiftyRefusedClosesThenAConnect) {
    // Each outage leaves a pair with a driver that may write into it; the
    // old drivers let go of theirs only at every third outage.
    window = openPanel();
    simSetWineHandles(1);
    for (int outage = 1; outage <= 50; ++outage) {
        SCOPED_TRACE("outage " + std::to_string(outage));
        connectAndIdentify(window);
        ASSERT_EQ(controlText(window, IDC_STATUS), kConnected);
        simFailCall("midiInReset", MMSYSERR_NODRIVER, 0, 1);
        command(window, IDC_RELEASE, BN_CLICKED);
        EXPECT_EQ(simKeptBuffers(), 2 * ((outage - 1) % 3 + 1));
        if (outage % 3 == 0) {
            size_t before = logLines(window).size();
            EXPECT_EQ(simWriteKeptBuffers(kLateReport.data(), kLateReport.size()), 6);
            deliver();
            EXPECT_EQ(logSince(before), std::vector<std::string>{});
        }
    }
    connectAndIdentify(window);
    EXPECT_EQ(controlText(window, IDC_STATUS), kConnected);
    for (const std::string& line : logLines(window))
        EXPECT_EQ(line.find("no free"), std::string::npos) << line;
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
}

// ---- Auto connect repeats its lines at most once a minute ----

std::string repeated(const std::string& line, int times) {
    return line.substr(0, line.size() - 1) + " (repeated " + std::to_string(times) + " times)\n";
}

TEST_F(Faults, AutoConnectRepeatsALineAtMostOnceAMinute) {
    // A port that stays taken, and an input handle whose close keeps failing:
    // each auto connect tries the close again and then the open.
    window = openPanel("-A");
    connectAndIdentify(window);
    simFailCall("midiInClose", MMSYSERR_ERROR, 0, 0);
    command(window, IDC_RELEASE, BN_CLICKED);
    simFailCall("midiInOpen", MMSYSERR_ALLOCATED, 0, 0);
    const std::string close = errorLine(38, MMSYSERR_ERROR);
    const std::string open = errorLine(80, MMSYSERR_ALLOCATED);
    const struct {
        WORD minute, second;
        bool click; // Connect clicked instead of auto connect's tick
        std::vector<std::string> log;
    } steps[] = {
        {5, 4, false, {close, open}},                           // first time: both lines
        {5, 6, false, {}},                                      // 2 s later
        {6, 3, false, {}},                                      // 59 s after the first
        {6, 4, false, {repeated(close, 3), repeated(open, 3)}}, // 60 s: with the count, this one included
        {6, 6, true, {close, open}},                            // a click writes them all
        {6, 8, false, {}},                                      //
        {7, 4, false, {repeated(close, 2), repeated(open, 2)}}, // the click not counted
        {8, 4, false, {close, open}},                           // a minute without repeats
        {8, 5, false, {}},                                      //
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(step.minute) + ":" + std::to_string(step.second));
        setClock(2026, 3, 7, 9, step.minute, step.second);
        size_t before = logLines(window).size();
        if (step.click)
            command(window, IDC_CONNECT, BN_CLICKED);
        else
            tick(window, kTimerAutoConnect); // posts the Connect, which the pump handles
        EXPECT_EQ(logSince(before), step.log);
        EXPECT_EQ(controlText(window, IDC_STATUS),
                  "zembrax MIDI input can not be opened,\nprobably used by an other application");
        EXPECT_EQ(timerPeriod(kTimerAutoConnect), 2000u); // a unit plugged in is found at once
    }
    simClearFailures();
    tick(window, kTimerAutoConnect);
    deliver();
    EXPECT_EQ(controlText(window, IDC_STATUS), kConnected);
}

TEST_F(Faults, AutoConnectUnderRealTimersLogsOnceAndStillFindsTheUnitAtOnce) {
    window = openPanel("-A");
    simFailCall("midiInOpen", MMSYSERR_ALLOCATED, 0, 0);
    size_t before = logLines(window).size();
    // Two tries within 4.5 s, the clock standing still: one line.
    runMessageLoop(4500, [] { return false; });
    EXPECT_EQ(logSince(before), std::vector<std::string>{errorLine(80, MMSYSERR_ALLOCATED)});
    // The port comes free: the next try, within 2 s, finds the unit.
    simClearFailures();
    EXPECT_TRUE(runMessageLoop(2500, [&] { return controlText(window, IDC_STATUS) == kConnected; }));
}

} // namespace
