// Program start: argument text, command-line switches, WM_INITDIALOG, Enter
// and Escape, WM_CLOSE.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/main_panel.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"

namespace {

TEST(ArgumentText, FollowsTheProgramName) {
    struct Case {
        const char* commandLine;
        const char* arguments;
    } cases[] = {
        {"zembrax-panel.exe -A -J", "-A -J"},
        {"\"C:\\Program Files\\Kermaveld\\zembrax-panel.exe\" -A", "-A"},
        {"  \t\"C:\\My Tools\\panel.exe\"\t  -D 04:30", "-D 04:30"},
        {"\"C:\\unterminated path -A", ""},
        {"panel.exe", ""},
        {"panel.exe   ", ""},
        {"panel.exe\t-S  -T ", "-S  -T "},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(separateArgumentText(c.commandLine), c.arguments) << c.commandLine;
}

TEST(ArgumentText, KeepsAtMostEightyCharacters) {
    resetPanelState();
    std::string hundred(100, 'x');
    copyArgumentText(hundred.c_str());
    EXPECT_EQ(std::string(panel.argumentText), std::string(80, 'x'));
    for (int i = 80; i < 128; ++i)
        EXPECT_EQ(panel.argumentText[i], 0);
}

struct SwitchCase {
    const char* arguments;
    bool autoConnect; // 153 ticked and timer 6 running
    bool captureTuning, eraseEeprom;
    bool daily; // 155 ticked
    int hour, minute;
    bool autoJam; // 152 ticked
    bool dump, timeCodePage;
};

class Switches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, ActAsTheCommandLineSays) {
    const SwitchCase& c = GetParam();
    HWND window = openPanel(c.arguments);
    EXPECT_EQ(isChecked(window, IDC_AUTO_CONNECT), c.autoConnect);
    EXPECT_EQ(timerRunning(window, kTimerAutoConnect, 2000), c.autoConnect);
    EXPECT_EQ(isShown(window, IDC_CAPTURE_TUNING), c.captureTuning);
    EXPECT_EQ(isShown(window, IDC_ERASE_EEPROM), c.eraseEeprom);
    EXPECT_EQ(isChecked(window, IDC_DAILY_JAM), c.daily);
    EXPECT_EQ(panel.dailyJamHour, c.hour);
    EXPECT_EQ(panel.dailyJamMinute, c.minute);
    char caption[40];
    snprintf(caption, sizeof caption, " daily auto jam %02d:%02d", c.hour, c.minute);
    EXPECT_EQ(controlText(window, IDC_DAILY_JAM), caption);
    EXPECT_EQ(isChecked(window, IDC_AUTO_JAM), c.autoJam);
    EXPECT_EQ(panel.sysExDump, c.dump);
    EXPECT_EQ(panel.startOnTimeCodePage, c.timeCodePage);
    closePanel(window);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Switches,
                         ::testing::Values(
                             //        args              A      C      E      D      h   m   J      S      T
                             SwitchCase{"", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-A -C -E", true, true, true, false, 3, 0, false, false, false},
                             SwitchCase{"-a -c -e", true, true, true, false, 3, 0, false, false, false},
                             SwitchCase{"-ACJ", true, true, false, false, 3, 0, true, false, false},
                             SwitchCase{"-s -t", false, false, false, false, 3, 0, false, true, true},
                             SwitchCase{"A C", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-x", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-xA", true, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-9/A", true, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-D 04:30", false, false, false, true, 4, 30, false, false, false},
                             SwitchCase{"-D04:30", false, false, false, true, 4, 30, false, false, false},
                             SwitchCase{"-D0430", false, false, false, true, 4, 0, false, false, false},
                             SwitchCase{"-Dx5:30", false, false, false, true, 8, 30, false, false, false},
                             SwitchCase{"-D 7:30", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-D4", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-D  04:30", false, false, false, true, 3, 0, false, false, false},
                             SwitchCase{"-D 22:15 -J", false, false, false, true, 22, 15, true, false, false},
                             SwitchCase{"-D 22:15J", false, false, false, true, 22, 15, false, false, false},
                             SwitchCase{"-d 99:99", false, false, false, false, 3, 0, false, false, false},
                             SwitchCase{"-D 01:02 -D 03", false, false, false, true, 3, 2, false, false,
                                        false},
                             SwitchCase{"-A -J", true, false, false, false, 3, 0, true, false, false}));

TEST(Switches, OnlyTheFirstEightyCharactersAreScanned) {
    std::string arguments = std::string(78, ' ') + "-J -A -S";
    HWND window = openPanel(arguments.c_str());
    EXPECT_TRUE(isChecked(window, IDC_AUTO_JAM)); // "-J" at 78 and 79
    EXPECT_FALSE(isChecked(window, IDC_AUTO_CONNECT));
    EXPECT_FALSE(panel.sysExDump);
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2026.03.07 09:05:02 application started " + arguments.substr(0, 80));
    closePanel(window);
}

class Start : public ::testing::Test {
  protected:
    void SetUp() override { window = openPanel(); }
    void TearDown() override { closePanel(window); }
    HWND window = nullptr;
};

TEST_F(Start, LogsTheStartWithTheArgumentTextAndTheFirmwareImage) {
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2026.03.07 09:05:02 application started "); // ends with the blank
    // This program carries the stand-in, as the demo does.
    EXPECT_EQ(lines[1],
              "2026.03.07 09:05:02 firmware image: stand-in test image, never to be sent to a real unit");
    closePanel(window);
    window = openPanel("-A -J");
    lines = logLines(window);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2026.03.07 09:05:02 application started -A -J");
}

TEST_F(Start, FillsTheFixedListsOnly) {
    struct {
        int id;
        int entries;
    } lists[] = {
        {IDC_VIDEO_REF, 5},    {IDC_SD_STANDARD, 5}, {IDC_NTSC_BLACK, 2},   {IDC_EXT_LOCK, 2},
        {IDC_HD_STANDARD, 21}, {IDC_AUDIO_REF, 15},  {IDC_SAMPLE_RATE, 10}, {IDC_LOCATE_RATE, 6},
        {IDC_VIDEO_OUT13, 0},  {IDC_VIDEO_OUT4, 0},  {IDC_VIDEO_OUT5, 0},   {IDC_VIDEO_OUT6, 0},
        {IDC_WORD_OUT16, 0},   {IDC_WORD_OUT78, 0},  {IDC_AES_OUT, 0},      {IDC_SPDIF_OUT, 0},
        {IDC_PROFILE_LIST, 0},
    };
    for (auto list : lists)
        EXPECT_EQ(SendDlgItemMessageA(window, list.id, LB_GETCOUNT, 0, 0), list.entries)
            << "list " << list.id;
    EXPECT_EQ(listEntries(GetDlgItem(window, IDC_NTSC_BLACK))[0], "NTSC-J JAPAN ");
    EXPECT_EQ(listEntries(GetDlgItem(window, IDC_LOCATE_RATE)),
              (std::vector<std::string>{"24 FPS", "25 FPS", "29.97 DF", "30 FPS", "23.98 FPS", "29.97 FPS"}));
    EXPECT_EQ(selection(window, IDC_LOCATE_RATE), 1);
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), LB_ERR);
}

TEST_F(Start, SetsLimitsRangesAndFont) {
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_PROFILE_NAME, EM_GETLIMITTEXT, 0, 0), 12);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_VARISPEED_FREQ, EM_GETLIMITTEXT, 0, 0), 8);

    struct {
        int upDown, edit, lower, upper, position;
        const char* text;
    } upDowns[] = {
        {IDC_LOCATE_HOURS_SPIN, IDC_LOCATE_HOURS, 0, 23, 0, "0"},
        {IDC_LOCATE_MINUTES_SPIN, IDC_LOCATE_MINUTES, 0, 59, 0, "0"},
        {IDC_LOCATE_SECONDS_SPIN, IDC_LOCATE_SECONDS, 0, 59, 0, "0"},
        {IDC_SC_PHASE_SPIN, IDC_SC_PHASE, -128, 127, 0, ""},
        {IDC_H_PHASE_SPIN, IDC_H_PHASE, -128, 127, 0, ""},
        {IDC_USER_CAL_SPIN, IDC_USER_CAL, -128, 127, 127, "127"}, // 128 asked, 127 taken
    };
    for (auto u : upDowns) {
        SCOPED_TRACE("up-down " + std::to_string(u.upDown));
        int lower = 0, upper = 0;
        SendDlgItemMessageA(window, u.upDown, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&lower),
                            reinterpret_cast<LPARAM>(&upper));
        EXPECT_EQ(lower, u.lower);
        EXPECT_EQ(upper, u.upper);
        EXPECT_EQ(static_cast<short>(LOWORD(SendDlgItemMessageA(window, u.upDown, UDM_GETPOS, 0, 0))),
                  u.position);
        EXPECT_EQ(controlText(window, u.edit), u.text);
    }

    HFONT font = reinterpret_cast<HFONT>(SendDlgItemMessageA(window, IDC_MTC_DISPLAY, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font, panel.displayFont);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageA(window, IDC_CLOCK_DISPLAY, WM_GETFONT, 0, 0)),
              font);
    LOGFONTA logFont{};
    GetObjectA(font, sizeof logFont, &logFont);
    EXPECT_STREQ(logFont.lfFaceName, "Consolas");
    HDC dc = GetDC(window);
    EXPECT_EQ(logFont.lfHeight, -MulDiv(28, GetDeviceCaps(dc, LOGPIXELSY), 72));
    ReleaseDC(window, dc);

    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_SAVE_PROFILE)));
    EXPECT_NE(SendMessageA(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD not connected");
}

TEST_F(Start, RunsOnlyTheClockTimer) {
    EXPECT_TRUE(timerRunning(window, kTimerClock, 100));
    for (UINT_PTR timer : {kTimerPoll, kTimerUpdate, kTimerProgress, kTimerMtcWatchdog, kTimerAutoConnect,
                           kTimerQuerySequence})
        EXPECT_FALSE(timerRunning(window, timer, 100)) << "timer " << timer;
}

TEST_F(Start, EnterAndEscapeDoNothing) {
    SendMessageA(window, WM_COMMAND, IDOK, 0);
    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    // As the keys arrive through the dialog manager.
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
        MSG msg{GetDlgItem(window, IDC_CONNECT), WM_KEYDOWN, key, 0, 0, {}};
        IsDialogMessageA(window, &msg);
    }
    pumpMessages();
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(logLines(window).size(), 2u); // the start's lines only
}

TEST_F(Start, UnknownCommandsAndTimersAreHandledWithoutAction) {
    command(window, 9999);
    command(window, IDC_SEND_NEXT_RECORD);
    tick(window, 8);
    tick(window, 1234);
    EXPECT_EQ(logLines(window).size(), 2u); // the start's lines only
    EXPECT_TRUE(IsWindowVisible(window));
}

TEST_F(Start, CloseStopsTheTimersAndEndsTheDialog) {
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_AUTO_CONNECT, BN_CLICKED), 0); // nothing ticked: stops 6
    SetTimer(window, kTimerAutoConnect, 2000, nullptr);
    SetTimer(window, kTimerMtcWatchdog, 50, nullptr);
    SetTimer(window, kTimerPoll, 500, nullptr);
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(window)); // EndDialog hides the dialog
    for (UINT_PTR timer : {kTimerPoll, kTimerMtcWatchdog, kTimerClock, kTimerAutoConnect})
        EXPECT_FALSE(timerRunning(window, timer, 100)) << "timer " << timer;
}

} // namespace
