// Actions whose log line reports success say so only when every message of
// the action went out: bare when sent, "not sent: zembrax HD not connected"
// without an open output, "not sent: MIDI send failed" when the driver
// refused one of its messages (the link stays up then). And WM_CLOSE kills
// every timer of the window.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

enum class Wire { Sent, NoOutput, Refused };

struct Action {
    const char* name;
    int refusedSend; // which of the action's midiOutLongMsg calls the driver refuses
    std::function<void(HWND)> run;
    const char* line; // the bare line, timestamp included
};

void saveProfileTwo(HWND window) {
    SendDlgItemMessageA(window, IDC_PROFILE_LIST, LB_SETCURSEL, 1, 0);
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "Stage");
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
}

// The jam's three messages go out on two clock ticks: the locate first, then
// play mode and play.
void jamToThePcClock(HWND window) {
    SendDlgItemMessageA(window, IDC_HD_STANDARD, LB_SETCURSEL, 2, 0); // 1080i 50
    setClock(2026, 3, 7, 10, 0, 0, 500);
    command(window, IDC_JAM_SYSTEM_TIME, BN_CLICKED);
    setClock(2026, 3, 7, 10, 0, 1, 80);
    tick(window, kTimerClock);
    setClock(2026, 3, 7, 10, 0, 1, 980);
    tick(window, kTimerClock);
}

const Action kActions[] = {
    {"subcarrier phase", 0, [](HWND w) { command(w, IDC_SC_PHASE_SAVE, BN_CLICKED); },
     "2026.03.07 09:05:02 Saved Subcarrier Phase"},
    {"H-phase offset", 0, [](HWND w) { command(w, IDC_H_PHASE_SAVE, BN_CLICKED); },
     "2026.03.07 09:05:02 Saved H-Phase Offset"},
    {"user calibration", 0, [](HWND w) { command(w, IDC_USER_CAL_SAVE, BN_CLICKED); },
     "2026.03.07 09:05:02 Saved User Calibration"},
    {"capture tuning, its request refused", 1, [](HWND w) { command(w, IDC_CAPTURE_TUNING, BN_CLICKED); },
     "2026.03.07 09:05:02 Saved Tuning"},
    {"erase EEPROM", 0, [](HWND w) { command(w, IDC_ERASE_EEPROM, BN_CLICKED); },
     "2026.03.07 09:05:02 EEPROM erased"},
    {"profile name refused", 0, saveProfileTwo, "2026.03.07 09:05:02 Saved Profile 2: Stage"},
    {"profile store refused", 1, saveProfileTwo, "2026.03.07 09:05:02 Saved Profile 2: Stage"},
    {"jam, its locate refused", 0, jamToThePcClock, "2026.03.07 10:00:01 Jam Sync to Systemtime"},
    {"jam, its play refused", 2, jamToThePcClock, "2026.03.07 10:00:01 Jam Sync to Systemtime"},
};

class SendReport : public ::testing::TestWithParam<std::tuple<Action, Wire>> {};

TEST_P(SendReport, LogLineSaysWhetherEveryMessageWentOut) {
    const auto& [action, wire] = GetParam();
    HWND window = openPanel("-C -E");
    connectAndIdentify(window);
    runRequestSequence(window);
    if (wire == Wire::NoOutput) command(window, IDC_RELEASE, BN_CLICKED);
    if (wire == Wire::Refused) simFailCall("midiOutLongMsg", MMSYSERR_NOMEM, action.refusedSend, 1);
    clearSent();

    action.run(window);

    std::vector<std::string> lines = logLines(window);
    switch (wire) {
    case Wire::Sent:
        EXPECT_EQ(lines.back(), std::string(action.line));
        EXPECT_FALSE(sent().empty());
        break;
    case Wire::NoOutput:
        EXPECT_EQ(lines.back(), std::string(action.line) + " not sent: zembrax HD not connected");
        EXPECT_TRUE(sent().empty());
        break;
    case Wire::Refused:
        EXPECT_EQ(lines.back(), std::string(action.line) + " not sent: MIDI send failed");
        // The refusal is in the log with its site; a refused send is no lost unit.
        EXPECT_NE(std::find(lines.begin(), lines.end(), errorLine(132, MMSYSERR_NOMEM)), lines.end());
        EXPECT_NE(panel.outputPort, nullptr);
        EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
        break;
    }
    deliver();
    closePanel(window);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Action, Wire>>& info) {
    std::string name = std::get<0>(info.param).name;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    const char* wires[] = {"sent", "no_output", "refused"};
    return name + "__" + wires[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EveryAction, SendReport,
                         ::testing::Combine(::testing::ValuesIn(kActions),
                                            ::testing::Values(Wire::Sent, Wire::NoOutput, Wire::Refused)),
                         caseName);

// WM_CLOSE kills all eight timers of the window, the request sequence's and
// the identity retry's included. Each is running when the window closes; a
// timer still running afterwards is one KillTimer can still find.
TEST(Close, KillsEveryTimer) {
    HWND window = openPanel();
    for (UINT_PTR id = 1; id <= 8; ++id)
        SetTimer(window, id, 60000, nullptr);
    SendMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(IsWindow(window)); // a modeless dialog outlives EndDialog
    for (UINT_PTR id = 1; id <= 8; ++id)
        EXPECT_FALSE(KillTimer(window, id)) << "timer " << id << " still running after WM_CLOSE";
    closePanel(window);
}

} // namespace
