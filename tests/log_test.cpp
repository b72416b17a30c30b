// Event log: line format, Clear All Logs, scrolling, the bound of lines, and hex
// dumps of any length.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/log_file.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "link/midi_port.h"

namespace {

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        window = openPanel();
        start = logLines(window).size();
    }
    void TearDown() override { closePanel(window); }
    HWND window = nullptr;
    size_t start = 0; // the lines the start wrote
};

TEST_F(EventLog, TimestampedLinesPadAllButTheYear) {
    setClock(987, 1, 2, 3, 4, 5);
    logLine("Saved Profile %d: %s", 2, "AB");
    setClock(2026, 12, 31, 23, 59, 59);
    logLine("logs deleted");
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), start + 2);
    EXPECT_EQ(lines[start], "987.01.02 03:04:05 Saved Profile 2: AB");
    EXPECT_EQ(lines[start + 1], "2026.12.31 23:59:59 logs deleted");
}

TEST_F(EventLog, LinesOfOneSecondKeepTheirOrder) {
    logLine("locked to internal reference");
    logLine("lost lock to external video reference");
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), start + 2);
    EXPECT_EQ(lines[start], "2026.03.07 09:05:02 locked to internal reference");
    EXPECT_EQ(lines[start + 1], "2026.03.07 09:05:02 lost lock to external video reference");
}

TEST_F(EventLog, ClearAllLogsLeavesOnlyItsOwnLine) {
    appendLog("ID 80 mmResult 2 bad device\n");
    setClock(2026, 3, 7, 9, 6, 0);
    command(window, IDC_CLEAR_LOGS, BN_CLICKED);
    EXPECT_EQ(logLines(window), std::vector<std::string>{"2026.03.07 09:06:00 logs deleted"});
    command(window, IDC_CLEAR_LOGS, BN_CLICKED);
    EXPECT_EQ(logLines(window), std::vector<std::string>{"2026.03.07 09:06:00 logs deleted"});
}

TEST_F(EventLog, AppendKeepsTextAsItIs) {
    appendLog(".dwFlags != MHDR_DONE\n");
    EXPECT_EQ(logLines(window).back(), ".dwFlags != MHDR_DONE\n");
}

TEST_F(EventLog, NewestLineStaysInViewEvenAfterScrollingUp) {
    HWND log = GetDlgItem(window, IDC_LOG);
    auto lastVisible = [&] {
        RECT client;
        GetClientRect(log, &client);
        LRESULT itemHeight = SendMessageA(log, LB_GETITEMHEIGHT, 0, 0);
        LRESULT top = SendMessageA(log, LB_GETTOPINDEX, 0, 0);
        LRESULT count = SendMessageA(log, LB_GETCOUNT, 0, 0);
        return top + client.bottom / itemHeight >= count;
    };
    for (int i = 0; i < 200; ++i)
        logLine("line %d", i);
    EXPECT_GT(SendMessageA(log, LB_GETTOPINDEX, 0, 0), 0);
    EXPECT_TRUE(lastVisible());
    SendMessageA(log, LB_SETTOPINDEX, 0, 0); // the operator scrolls to the top
    appendLog("ID 132 mmResult 7 no memory\n");
    EXPECT_TRUE(lastVisible());
}

TEST_F(EventLog, KeepsTheNewestLinesOnlyAndClearStillWorks) {
    closePanel(window);
    window = openPanel("-L");        // the list's bound does not depend on the log file
    ShowWindow(window, SW_MINIMIZE); // a panel left minimised for days (Wine draws a visible list slowly)
    // The list starts with two lines (start, firmware image). Up to 10,000
    // lines nothing goes; the 10,001st line pushes the oldest out.
    const struct {
        int added; // lines logged so far, "line 0" on
        size_t held;
        const char* first;
    } bound[] = {
        {9997, 9999, "application started -L"},
        {9998, 10000, "application started -L"},
        {9999, 10000, "firmware image: stand-in test image, never to be sent to a real unit"},
        {10000, 10000, "line 0"},
        {10005, 10000, "line 5"},
    };
    int added = 0;
    for (const auto& b : bound) {
        SCOPED_TRACE(b.added);
        for (; added < b.added; ++added)
            logLine("line %d", added);
        std::vector<std::string> lines = logLines(window);
        ASSERT_EQ(lines.size(), b.held);
        EXPECT_EQ(lines.front(), std::string("2026.03.07 09:05:02 ") + b.first);
        EXPECT_EQ(lines.back(), "2026.03.07 09:05:02 line " + std::to_string(b.added - 1));
    }
    reportMidiError(MMSYSERR_INVALHANDLE, 38); // the port layer adds its lines itself
    std::vector<std::string> lines = logLines(window);
    EXPECT_EQ(lines.size(), 10000u);
    EXPECT_EQ(lines.front(), "2026.03.07 09:05:02 line 6");
    EXPECT_EQ(lines.back().substr(0, 17), "ID 38 mmResult 5 ");

    command(window, IDC_CLEAR_LOGS, BN_CLICKED);
    EXPECT_EQ(logLines(window), std::vector<std::string>{"2026.03.07 09:05:02 logs deleted"});
    logLine("line %d", 1);
    EXPECT_EQ(logLines(window).size(), 2u);
}

// Reads the bytes back from dump lines and checks each line's form.
std::vector<uint8_t> bytesOfDump(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<uint8_t> bytes;
    for (const std::string& line : lines) {
        EXPECT_LT(line.size(), 256u);
        EXPECT_EQ(line.substr(0, 3), prefix);
        EXPECT_EQ(line.substr(line.size() - 3), "  \n");
        std::string body = line.substr(3, line.size() - 5);
        EXPECT_EQ(body.size() % 4, 0u) << line;
        for (size_t i = 0; i + 4 <= body.size(); i += 4) {
            EXPECT_EQ(body[i], ' ');
            EXPECT_EQ(body[i + 3], ' ');
            bytes.push_back(static_cast<uint8_t>(std::stoul(body.substr(i + 1, 2), nullptr, 16)));
        }
    }
    return bytes;
}

TEST_F(EventLog, DumpLineOfTheIdentityRequest) {
    const uint8_t request[] = {0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7};
    dumpLine("-> ", request, sizeof request);
    EXPECT_EQ(logLines(window).back(), "->  F0  2C  5A  42  01  F7  \n");
}

TEST_F(EventLog, LongDumpsContinueOnFurtherLinesWithEveryByte) {
    struct {
        size_t length;
        size_t lines;
    } cases[] = {{62, 1}, {63, 2}, {124, 2}, {512, 9}, {600, 10}};
    for (auto c : cases) {
        SCOPED_TRACE("message of " + std::to_string(c.length) + " bytes");
        SendDlgItemMessageA(window, IDC_LOG, LB_RESETCONTENT, 0, 0);
        std::vector<uint8_t> message(c.length);
        for (size_t i = 0; i < c.length; ++i)
            message[i] = static_cast<uint8_t>(i * 7 + 3);
        message.front() = 0xF0;
        message.back() = 0xF7;
        dumpLine("<- ", message.data(), message.size());
        std::vector<std::string> lines = logLines(window);
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(lines[0].size(), 3 + 4 * std::min<size_t>(c.length, 62) + 2);
        EXPECT_EQ(bytesOfDump(lines, "<- "), message);
    }
}

} // namespace
