// The unit configuration: save and restore through the system menu with the
// simulated unit under real timers, the refused files, the differences in
// words, a send refused during a restore, and when the entries are greyed.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/config_menu.h"
#include "app/log_menu.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "pages/unit_config.h"
#include "sim/sim_control.h"
#include "version.h"

namespace {

namespace fs = std::filesystem;

std::string folder() {
    return localAppData() + "\\configuration";
}

std::string readFile(const std::string& path) {
    std::ifstream file(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The file's lines without the blank ones.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// The simulated unit as it leaves the factory, saved on 2026-03-07.
const std::vector<std::string> kFactoryFile = {
    "; zembrax HD unit configuration, saved by the zembrax HD control panel.",
    "; \"Restore unit configuration...\" in the panel's system menu puts back the",
    "; values of [settings] and [calibration]: each is the number the unit uses,",
    "; and the words after a semicolon name it as the panel's lists do.",
    "; The names in [profiles] are kept for reference only and are not restored:",
    "; storing a name stores the unit's current settings into that profile.",
    "[unit]",
    "serial=1234",
    "firmware=0301",
    "panel=" ZEMBRAX_VERSION,
    "date=2026-03-07",
    "[settings]",
    "video_reference=1 ; Internal",
    "sd_standard=2 ; PAL 25",
    "hd_standard=2 ; 1080i 50",
    "video_out_1_3=1 ; SD standard",
    "video_out_4=1 ; SD standard",
    "video_out_5=2 ; HD standard",
    "video_out_6=2 ; HD standard",
    "black_dolby=0 ; off",
    "audio_reference=1 ; Follow Video",
    "ext_word_family=2 ; 48 kHz",
    "ext_word_speed=1 ; single",
    "ext_word_pulldown=1 ; none",
    "ltc_rate=3 ; 25 fps",
    "sample_rate_family=1 ; 48 kHz",
    "sample_rate_variant=1 ; nominal",
    "word_out_1_6=1 ; x1",
    "word_out_7_8=1 ; x1",
    "aes_out=1 ; x1",
    "spdif_out=1 ; x1",
    "ntsc_black=0 ; NTSC-J JAPAN",
    "ext_video_lock=0 ; Syncs only",
    "config_protect=0 ; off",
    "[calibration]",
    "subcarrier_phase=0",
    "h_phase_offset=0",
    "user_calibration_offset=0",
    "[profiles]",
    "profile_1=Profile 1",
    "profile_2=Profile 2",
    "profile_3=Profile 3",
    "profile_4=Profile 4"};

// Writes the factory file with line `from` replaced by `to` ("" drops it).
std::string writeVariant(const std::string& name, const std::string& from, const std::string& to) {
    std::string text;
    for (const std::string& line : kFactoryFile) {
        const std::string& written = line == from ? to : line;
        if (!written.empty()) text += written + "\r\n";
    }
    std::string path = folder() + "\\" + name;
    std::ofstream(fs::path(path), std::ios::binary) << text;
    return path;
}

// The file dialogs: what they were given, and the path they answer (empty: cancelled).
std::string dialogAnswer, dialogProposed, dialogStartFolder;

BOOL WINAPI fakeFileDialog(LPOPENFILENAMEA dialog) {
    dialogProposed = dialog->lpstrFile;
    dialogStartFolder = dialog->lpstrInitialDir ? dialog->lpstrInitialDir : "";
    if (dialogAnswer.empty()) return FALSE;
    lstrcpynA(dialog->lpstrFile, dialogAnswer.c_str(), static_cast<int>(dialog->nMaxFile));
    return TRUE;
}

std::vector<Bytes> sentWithCommand(std::initializer_list<uint8_t> commands) {
    std::vector<Bytes> found;
    for (const Bytes& m : sent())
        for (uint8_t c : commands)
            if (m.size() > 4 && m[1] == 0x2C && m[4] == c) found.push_back(m);
    return found;
}

class UnitConfig : public ConnectedPanel {
  protected:
    void SetUp() override {
        ConnectedPanel::SetUp();
        saveDialog = fakeFileDialog;
        openDialog = fakeFileDialog;
        fs::create_directories(fs::path(folder()));
    }
    void TearDown() override {
        ConnectedPanel::TearDown();
        simClearFailures();
        saveDialog = realSaveDialog;
        openDialog = realOpenDialog;
        fs::remove_all(fs::path(folder()));
    }
    // Picks a system-menu entry, the file dialog answering `path`, and lets
    // the panel's own timers run the transfer to its end; the boxes that
    // appear are answered with `buttons` in turn.
    std::vector<MessageBoxSeen> choose(UINT id, const std::string& path,
                                       const std::vector<int>& buttons = {IDOK},
                                       const std::function<void(size_t)>& beforeAnswer = {}) {
        dialogAnswer = path;
        return answerMessageBoxes(
            window, buttons,
            [&] {
                SendMessageA(window, WM_SYSCOMMAND, id, 0);
                EXPECT_TRUE(runMessageLoop(8000, [] { return panel.configTask == ConfigTask::Idle; }));
            },
            beforeAnswer);
    }
    std::string lastLog() { return logLines(window).back().substr(20); }
    const SaveDialogFunction realSaveDialog = saveDialog;
    const OpenDialogFunction realOpenDialog = openDialog;
};

TEST_F(UnitConfig, SaveChangeRestoreSaveGivesTheSameFile) {
    simSetOutputDoneDelay(20); // a slow driver: every send waits for its header
    const std::string first = folder() + "\\first.ini", second = folder() + "\\second.ini";
    char documents[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents), S_OK);

    EXPECT_EQ(choose(IDM_CONFIG_SAVE, first).size(), 0u);
    EXPECT_EQ(dialogProposed, "zembrax-H1234-2026-03-07.ini");
    EXPECT_EQ(dialogStartFolder, documents);
    EXPECT_EQ(lastLog(), "configuration of zembrax H 1234 saved: " + first);
    EXPECT_EQ(linesOf(readFile(first)), kFactoryFile);

    // Five settings and one calibration item change on the unit.
    simSetParameter(0, 1, 2);  // Ext. PAL
    simSetParameter(0, 2, 1);  // NTSC
    simSetParameter(0, 4, 5);  // 1080i 60
    simSetParameter(0, 13, 5); // LTC 30 fps, while the audio follows video
    simSetParameter(0, 25, 1); // +7.5 IRE USA
    simSetCalibration(0, 0x79, 3);
    clearSent();
    std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_RESTORE, first, {IDYES});
    EXPECT_EQ(dialogStartFolder, folder() + "\\");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Restore unit configuration");
    EXPECT_EQ(boxes[0].text, "6 values of zembrax H 1234 differ from " + first +
                                 ":\n\n"
                                 "Video reference: Ext. PAL -> Internal\n"
                                 "SD standard: NTSC -> PAL 25\n"
                                 "HD standard: 1080i 60 -> 1080i 50\n"
                                 "LTC rate: 30 fps -> 25 fps\n"
                                 "NTSC black: +7.5 IRE USA -> NTSC-J JAPAN\n"
                                 "H-phase offset: 3 -> 0\n\n"
                                 "Write the file's values to the unit?");
    // The audio reference first, each change as its list sends it, the calibration item set and stored.
    EXPECT_EQ(sentWithCommand({0x42, 0x44, 0x5A}),
              (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x42, 0x0D, 0x03, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x09, 0x01, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x01, 0x01, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x02, 0x02, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x42, 0x04, 0x03, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x03, 0x01, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x42, 0x19, 0x00, 0xF7},
                                  {0xF0, 0x2C, 0x5A, 0x42, 0x5A, 0x79, 0x00, 0x00, 0xF7}}));
    EXPECT_EQ(lastLog(), "configuration restored from " + first + ": 8 values written, all confirmed");

    EXPECT_EQ(choose(IDM_CONFIG_SAVE, second).size(), 0u);
    EXPECT_EQ(readFile(second), readFile(first));
}

TEST_F(UnitConfig, AReportCutByTheDriverFailsTheSave) {
    simCorruptNext(0); // the answer to the first request comes back as MM_MIM_LONGERROR
    const std::string path = folder() + "\\cut.ini";
    std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_SAVE, path);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(
        boxes[0].text,
        "configuration of zembrax H 1234 not saved: no answer from the unit within 2 s: profile name 1");
    EXPECT_FALSE(fs::exists(fs::path(path)));
    EXPECT_TRUE(fs::is_empty(fs::path(folder()))) << "no file left behind";
}

TEST_F(UnitConfig, AFileIsCheckedWholeBeforeAnythingIsSent) {
    struct Case {
        std::string from, to;
        std::string problem; // "": accepted
    } cases[] = {
        {"sd_standard=2 ; PAL 25", "", "[settings] sd_standard: missing"},
        {"serial=1234", "", "[unit] serial: missing"},
        {"aes_out=1 ; x1", "aes_out=1 ; x1\r\ncolour=3", "[settings] colour: unknown key"},
        {"[profiles]", "[extra]\r\nx=1\r\n[profiles]", "[extra]: unknown section"},
        {"video_reference=1 ; Internal", "video_reference=0",
         "[settings] video_reference: 0 is outside 1 to 4"},
        {"video_reference=1 ; Internal", "video_reference=1", ""},
        {"video_reference=1 ; Internal", "video_reference=4", ""},
        {"video_reference=1 ; Internal", "video_reference=5",
         "[settings] video_reference: 5 is outside 1 to 4"},
        {"video_reference=1 ; Internal", "video_reference=two",
         "[settings] video_reference: \"two\" is not a number"},
        {"h_phase_offset=0", "h_phase_offset=-129",
         "[calibration] h_phase_offset: -129 is outside -128 to 127"},
        {"h_phase_offset=0", "h_phase_offset=-128", ""},
        {"h_phase_offset=0", "h_phase_offset=127", ""},
        {"h_phase_offset=0", "h_phase_offset=128",
         "[calibration] h_phase_offset: 128 is outside -128 to 127"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=-1", "[settings] hd_standard: -1 is outside 0 to 24"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=0", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=9", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=10", "[settings] hd_standard: HD code 10 has no entry"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=11", "[settings] hd_standard: HD code 11 has no entry"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=12", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=19", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=20", "[settings] hd_standard: HD code 20 has no entry"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=21", "[settings] hd_standard: HD code 21 has no entry"},
        {"hd_standard=2 ; 1080i 50", "hd_standard=22", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=24", ""},
        {"hd_standard=2 ; 1080i 50", "hd_standard=25", "[settings] hd_standard: 25 is outside 0 to 24"},
        {"profile_2=Profile 2", "profile_2=twelve chars", ""},
        {"profile_2=Profile 2", "profile_2=thirteen char", "[profiles] profile_2: longer than 12 characters"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::string path = writeVariant("case" + std::to_string(++n) + ".ini", c.from, c.to);
        if (c.problem.empty()) {
            UnitValues values{};
            int serial = 0;
            char problem[256] = {};
            EXPECT_TRUE(readConfigFile(path.c_str(), values, serial, problem, sizeof problem)) << problem;
            EXPECT_EQ(serial, 1234);
            continue;
        }
        std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_RESTORE, path);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text,
                  path + "\n\nThe file is not used, and nothing is sent to the unit:\n" + c.problem);
        EXPECT_EQ(sent(), std::vector<Bytes>{});
    }
    // Files that cannot be read: a folder, and a file that is not there.
    for (const std::string& path : {folder(), folder() + "\\gone.ini"}) {
        std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_RESTORE, path);
        ASSERT_EQ(boxes.size(), 1u);
        const std::string start = path + "\n\nThe file is not used, and nothing is sent to the unit:\n"
                                         "the file cannot be read: ";
        EXPECT_EQ(boxes[0].text.substr(0, start.size()), start);
        EXPECT_GT(boxes[0].text.size(), start.size()) << "a reason follows";
        EXPECT_EQ(sent(), std::vector<Bytes>{});
    }
}

TEST_F(UnitConfig, AnotherUnitsFileIsRestoredOnlyAfterAYes) {
    std::string path = writeVariant("other.ini", "serial=1234", "serial=2001");
    const std::string question =
        path +
        "\nwas saved from zembrax H 2001. The connected unit is zembrax H 1234.\n\nRestore it to this unit?";
    std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_RESTORE, path, {IDNO});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, question);
    EXPECT_EQ(sent(), std::vector<Bytes>{});

    boxes = choose(IDM_CONFIG_RESTORE, path, {IDYES, IDOK});
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, question);
    EXPECT_EQ(boxes[1].text, "Nothing to restore: the unit already has this configuration");
    EXPECT_EQ(sentWithCommand({0x42, 0x44, 0x5A}), std::vector<Bytes>{});
}

TEST_F(UnitConfig, AValueTheUnitDidNotTakeIsNamed) {
    // The check after a restore finds the unit's SD standard not as written.
    panel.fileValues = panel.unitValues;
    panel.fileValues.parameter[2] = 1;
    panel.fileValues.calibration[2] = -3;
    std::snprintf(panel.configPath, sizeof panel.configPath, "C:\\unit.ini");
    panel.configWritten = 2;
    startConfigTransfer(ConfigTask::Confirm);
    EXPECT_TRUE(runMessageLoop(3000, [] { return panel.configTask == ConfigTask::Idle; }));
    EXPECT_EQ(lastLog(),
              "configuration restored from C:\\unit.ini: 2 values written, 2 not taken: sd_standard, "
              "user_calibration_offset");
}

TEST(UnitConfigDifferences, InWordsAtMostTwentyLines) {
    UnitValues unit{}, file{};
    const uint8_t factory[27] = {0, 1, 2, 1, 3, 1, 1, 2, 2, 1, 2, 1, 1, 3, 1, 1, 1, 1, 1, 1};
    for (int p = 0; p < 27; ++p)
        unit.parameter[p] = file.parameter[p] = factory[p];
    unit.calibration[1] = -5;
    file.calibration[1] = 3;
    file.parameter[9] = 2; // Ext. Word FS 48 pd
    file.parameter[12] = 2;
    file.parameter[14] = 2;
    file.parameter[17] = 4;
    file.configProtect = 1;
    char text[4096];
    EXPECT_EQ(describeDifferences(unit, file, text, sizeof text), 6);
    EXPECT_STREQ(text, "Audio reference: Follow Video -> Ext. Word FS 48 pd\n"
                       "Ext. word pull-down: none -> pd\n"
                       "Sample rate family: 48 kHz -> 44.1 kHz\n"
                       "Word out 7-8: x1 -> x256 Superclock\n"
                       "Configuration protect: off -> on\n"
                       "H-phase offset: -5 -> 3");
    EXPECT_EQ(listDifferentKeys(unit, file, text, sizeof text), 6);
    EXPECT_STREQ(text,
                 "audio_reference, ext_word_pulldown, sample_rate_family, word_out_7_8, config_protect, "
                 "h_phase_offset");

    // Every one of the 25 values differs: 20 lines, then how many more.
    for (int p = 1; p < 27; ++p)
        file.parameter[p] = static_cast<uint8_t>(unit.parameter[p] % 2 + 1);
    file.parameter[24] = file.parameter[25] = file.parameter[26] = 1;
    file.calibration = {1, 3, 1};
    EXPECT_EQ(describeDifferences(unit, file, text, sizeof text), 25);
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[19], "NTSC black: NTSC-J JAPAN -> +7.5 IRE USA");
    EXPECT_EQ(lines[20], "and 5 more");
}

TEST_F(UnitConfig, ASendRefusedDuringTheRestoreStopsIt) {
    struct {
        MMRESULT code;
        bool linkStays;
    } cases[] = {{MMSYSERR_NOMEM, true}, {MMSYSERR_NODRIVER, false}}; // refused; the unit gone
    const std::string path = writeVariant("factory.ini", "", "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        simSetParameter(0, 1, 2);
        simSetParameter(0, 2, 1);
        simSetParameter(0, 19, 2);
        // When the differences are shown, the driver is set to refuse the second send to come.
        auto refuseSecond = [&](size_t box) {
            if (box == 0) simFailCall("midiOutLongMsg", c.code, 1, 1);
        };
        std::vector<MessageBoxSeen> boxes = choose(IDM_CONFIG_RESTORE, path, {IDYES, IDOK}, refuseSecond);
        const std::string stopped = "configuration restore stopped: sd_standard not sent: MIDI send failed, "
                                    "1 values written before it";
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].text, stopped);
        std::vector<std::string> log = logLines(window);
        EXPECT_NE(
            std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(stopped) == 20; }),
            log.end());
        EXPECT_EQ(simGetParameter(0, 1), 1); // written
        EXPECT_EQ(simGetParameter(0, 2), 1); // refused, and nothing after it
        EXPECT_EQ(simGetParameter(0, 19), 2);
        EXPECT_EQ(panel.outputPort != nullptr, c.linkStays);
        simClearFailures();
    }
}

TEST(UnitConfigMenu, TheEntriesAreGreyedUnlessAnOperableUnitIsIdle) {
    HWND window = openPanel();
    HMENU menu = GetSystemMenu(window, FALSE);
    int count = GetMenuItemCount(menu);
    char text[64] = {};
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 3), MF_BYPOSITION) & MF_SEPARATOR, MF_SEPARATOR);
    GetMenuStringA(menu, IDM_CONFIG_SAVE, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "Save unit configuration...");
    GetMenuStringA(menu, IDM_CONFIG_RESTORE, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "Restore unit configuration...");
    EXPECT_EQ(GetMenuItemID(menu, count - 2), static_cast<UINT>(IDM_CONFIG_SAVE));
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_CONFIG_RESTORE));

    auto greyed = [&] {
        SendMessageA(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(0, TRUE));
        bool save = GetMenuState(menu, IDM_CONFIG_SAVE, MF_BYCOMMAND) & MF_GRAYED;
        bool restore = GetMenuState(menu, IDM_CONFIG_RESTORE, MF_BYCOMMAND) & MF_GRAYED;
        EXPECT_EQ(save, restore);
        return save;
    };
    EXPECT_TRUE(greyed()) << "not connected";
    dialogProposed = "";
    SendMessageA(window, WM_SYSCOMMAND, IDM_CONFIG_SAVE, 0);
    EXPECT_EQ(dialogProposed, "") << "a greyed entry does nothing";
    connectAndIdentify(window);
    runRequestSequence(window);
    EXPECT_FALSE(greyed()) << "connected";
    panel.updateState = UpdatePhase::AwaitingReply;
    EXPECT_TRUE(greyed()) << "during an update";
    panel.updateState = UpdatePhase::Idle;
    startConfigTransfer(ConfigTask::Save);
    EXPECT_TRUE(greyed()) << "while a transfer runs";
    panel.configTask = ConfigTask::Idle;
    command(window, IDC_RELEASE, BN_CLICKED);
    EXPECT_TRUE(greyed()) << "released";
    closePanel(window);

    window = openPanel();
    menu = GetSystemMenu(window, FALSE);
    simSetIdentity(0, "1234", "0300", 0x0A);
    connectAndIdentify(window);
    EXPECT_TRUE(greyed()) << "firmware 3.00";
    command(window, IDC_UPDATE_FIRMWARE, BN_CLICKED);
    deliver();
    EXPECT_TRUE(greyed()) << "update under way";
    closePanel(window);
}

} // namespace
