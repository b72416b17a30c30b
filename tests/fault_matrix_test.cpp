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
        // Opening: a failed prepare leaves that buffer unqueued, the other one takes the reply.
        {kSiteInPrepareA,
         "midiInPrepareHeader",
         0,
         e,
         Operation::Connect,
         {errorLine(kSiteInPrepareA, e), errorLine(kSiteInAddA, MIDIERR_UNPREPARED), kIdentified},
         kConnected,
         true,
         {}},
        {kSiteInPrepareB,
         "midiInPrepareHeader",
         1,
         e,
         Operation::Connect,
         {errorLine(kSiteInPrepareB, e), errorLine(kSiteInAddB, MIDIERR_UNPREPARED), kIdentified},
         kConnected,
         true,
         {}},
        {kSiteInAddA,
         "midiInAddBuffer",
         0,
         e,
         Operation::Connect,
         {errorLine(kSiteInAddA, e), kIdentified},
         kConnected,
         true,
         {}},
        {kSiteInAddB,
         "midiInAddBuffer",
         1,
         e,
         Operation::Connect,
         {errorLine(kSiteInAddB, e), kIdentified},
         kConnected,
         true,
         {}},
        // Not started: the reply is lost; the poll starts the input and the identity request is repeated.
        {kSiteInStart,
         "midiInStart",
         0,
         e,
         Operation::Connect,
         {errorLine(kSiteInStart, e)},
         kWaiting,
         true,
         {}},
        {kSiteOutOpen,
         "midiOutOpen",
         0,
         MMSYSERR_ALLOCATED,
         Operation::Connect,
         {errorLine(kSiteOutOpen, MMSYSERR_ALLOCATED)},
         "zembrax MIDI output can not be opened,\nprobably used by an other application",
         false,
         {}},
        {kSiteInOpen,
         "midiInOpen",
         0,
         MMSYSERR_ALLOCATED,
         Operation::Connect,
         {errorLine(kSiteInOpen, MMSYSERR_ALLOCATED)},
         "zembrax MIDI input can not be opened,\nprobably used by an other application",
         false,
         {}},
        // Closing: a failed reset leaves both buffers with the driver, so nothing after it works
        // either; the handle is closed again at the next Connect.
        {kSiteInReset,
         "midiInReset",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteInReset, e), errorLine(kSiteInUnprepareA, busy),
          errorLine(kSiteInUnprepareB, busy), errorLine(kSiteInClose, busy)},
         kNotConnected,
         false,
         {}},
        {kSiteInUnprepareA,
         "midiInUnprepareHeader",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteInUnprepareA, e)},
         kNotConnected,
         false,
         {}},
        {kSiteInUnprepareB,
         "midiInUnprepareHeader",
         1,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteInUnprepareB, e)},
         kNotConnected,
         false,
         {}},
        {kSiteInClose,
         "midiInClose",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteInClose, e)},
         kNotConnected,
         false,
         {}},
        {kSiteOutReset,
         "midiOutReset",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteOutReset, e)},
         kNotConnected,
         false,
         {}},
        {kSiteOutClose,
         "midiOutClose",
         0,
         e,
         Operation::Release,
         {kReleased, errorLine(kSiteOutClose, e)},
         kNotConnected,
         false,
         {}},
        // Sending.
        {kSiteOutPrepare,
         "midiOutPrepareHeader",
         0,
         MMSYSERR_NOMEM,
         Operation::Send,
         {errorLine(kSiteOutPrepare, MMSYSERR_NOMEM)},
         kConnected,
         true,
         {}},
        {kSiteOutLongMsg,
         "midiOutLongMsg",
         0,
         MIDIERR_NOTREADY,
         Operation::Send,
         {errorLine(kSiteOutLongMsg, MIDIERR_NOTREADY), kNotDone},
         kConnected,
         true,
         {}},
        {kSiteOutUnprepare,
         "midiOutUnprepareHeader",
         0,
         e,
         Operation::Send,
         {errorLine(kSiteOutUnprepare, e)},
         kConnected,
         true,
         kSettingsRequest},
        // The driver does not finish in time (the row sets a slow output) and the reset fails too.
        {kSiteOutSendReset,
         "midiOutReset",
         0,
         e,
         Operation::Send,
         {kNotDone, errorLine(kSiteOutSendReset, e), errorLine(kSiteOutUnprepare, busy)},
         kConnected,
         true,
         kSettingsRequest},
        // Receiving: the message is still dispatched; the other buffer is still queued.
        {kSiteInRequeue,
         "midiInAddBuffer",
         0,
         e,
         Operation::Receive,
         {kLocked, errorLine(kSiteInRequeue, e)},
         kConnected,
         true,
         {}},
        // A send or re-queue that finds the unit gone ends the link at once.
        {kSiteOutPrepare,
         "midiOutPrepareHeader",
         0,
         MMSYSERR_NODRIVER,
         Operation::Send,
         {errorLine(kSiteOutPrepare, MMSYSERR_NODRIVER), kLost},
         kNotConnected,
         false,
         {}},
        {kSiteOutLongMsg,
         "midiOutLongMsg",
         0,
         MMSYSERR_INVALHANDLE,
         Operation::Send,
         {errorLine(kSiteOutLongMsg, MMSYSERR_INVALHANDLE), kNotDone, kLost},
         kNotConnected,
         false,
         {}},
        {kSiteOutLongMsg,
         "midiOutLongMsg",
         0,
         MIDIERR_NODEVICE,
         Operation::Send,
         {errorLine(kSiteOutLongMsg, MIDIERR_NODEVICE), kNotDone, kLost},
         kNotConnected,
         false,
         {}},
        {kSiteInRequeue,
         "midiInAddBuffer",
         0,
         MMSYSERR_NODRIVER,
         Operation::Receive,
         {kLocked, errorLine(kSiteInRequeue, MMSYSERR_NODRIVER), kLost},
         kNotConnected,
         false,
         {}},
    };
    window = openPanel();
    expectReconnects();
    for (const SiteRow& row : rows) {
        SCOPED_TRACE("site " + std::to_string(row.site) + " " + row.function + " " +
                     std::to_string(row.code));
        if (row.site == kSiteOutSendReset)
            simSetOutputDoneDelay(kSendDoneWaitMs + 1000); // a margin for a loaded machine
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
         {errorLine(kSiteOutPrepare, MMSYSERR_NODRIVER), kLost},
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
        {"SysEx dump on",
         "-S",
         [](HWND w) {
             connectAndIdentify(w);
             runRequestSequence(w);
         },
         [](HWND w) { command(w, IDC_PAGE_SETTINGS, BN_CLICKED); },
         {errorLine(kSiteOutPrepare, MMSYSERR_NODRIVER), kLost},
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
    EXPECT_EQ(logSince(before),
              (std::vector<std::string>{errorLine(kSiteOutPrepare, MMSYSERR_NODRIVER), kLost}));
    EXPECT_EQ(posted, 1); // the first send ended it
    pumpMessages();
    replug();
    expectReconnects();
}

} // namespace
