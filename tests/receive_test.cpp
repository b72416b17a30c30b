// Receiving SysEx: the two input buffers go back to the driver after every
// message, and notifications that do not belong to a returned buffer of the
// panel are ignored.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/panel.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

// Report 0x61 status 0x02: one log line when it is dispatched.
const Bytes kSyncReport = {0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x02, 0xF7};

class Receive : public ::testing::Test {
  protected:
    void SetUp() override {
        window = openPanel();
        connectAndIdentify(window);
        runRequestSequence(window);
        ASSERT_EQ(simQueuedInputBuffers(0), 2);
    }
    void TearDown() override {
        closePanel(window);
        simClearFailures();
        EXPECT_EQ(simProtocolViolations(0), 0);
    }
    size_t logSize() { return logLines(window).size(); }
    // A notification as the driver posts it, for the open input.
    void notify(UINT message, MIDIHDR* header) {
        SendMessageA(window, message, reinterpret_cast<WPARAM>(panel.inputPort),
                     reinterpret_cast<LPARAM>(header));
    }
    HWND window = nullptr;
};

TEST_F(Receive, BothBuffersAreQueuedAgainAfterACorruptMessage) {
    size_t before = logSize();
    simCorruptNext(0);
    unitSends(kSyncReport);
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
    unitSends(kSyncReport);
    EXPECT_EQ(logSize(), before + 1);
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
}

TEST_F(Receive, StaleNotificationWithRecordedBytesIsIgnored) {
    // A buffer with the driver that already holds a whole message: a
    // notification for it now is not the driver handing it back.
    InputPair& pair = panel.inputPairs[static_cast<size_t>(panel.inputPair)];
    std::memcpy(pair.bufferA, kSyncReport.data(), kSyncReport.size());
    pair.headerA.dwBytesRecorded = static_cast<DWORD>(kSyncReport.size());
    size_t before = logSize();
    notify(MM_MIM_LONGDATA, &pair.headerA);
    notify(MM_MIM_LONGERROR, &pair.headerA);
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(simQueuedInputBuffers(0), 2);
    unitSends(kSyncReport);
    EXPECT_EQ(logSize(), before + 1);
}

TEST_F(Receive, ForeignHeaderIsIgnored) {
    char data[16] = {};
    std::memcpy(data, kSyncReport.data(), kSyncReport.size());
    MIDIHDR foreign{};
    foreign.lpData = data;
    foreign.dwBufferLength = sizeof data;
    foreign.dwBytesRecorded = static_cast<DWORD>(kSyncReport.size());
    foreign.dwFlags = MHDR_PREPARED | MHDR_DONE;
    size_t before = logSize();
    notify(MM_MIM_LONGDATA, &foreign);
    notify(MM_MIM_LONGERROR, &foreign);
    EXPECT_EQ(logSize(), before);
    EXPECT_EQ(simQueuedInputBuffers(0), 2); // neither dispatched nor handed to the driver
    unitSends(kSyncReport);
    EXPECT_EQ(logSize(), before + 1);
}

TEST_F(Receive, RequeueFailureLineNamesSiteSixty) {
    size_t before = logSize();
    simFailCall("midiInAddBuffer", MMSYSERR_NOMEM, 0, 1);
    unitSends(kSyncReport);
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), before + 3);
    EXPECT_EQ(lines[before + 1].substr(0, 17), "ID 60 mmResult 7 ");
    EXPECT_EQ(lines.back(), "MIDI input buffer lost: 1 of 2 still queued\n");
    EXPECT_EQ(simQueuedInputBuffers(0), 1);
}

} // namespace
