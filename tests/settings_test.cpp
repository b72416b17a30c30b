// Settings page and user profiles against the simulated unit: every pick's
// exact messages, the unit's report selecting the same entry again, and the
// report's edge cases.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

Bytes set44(uint8_t parameter, uint8_t value) {
    return {0xF0, 0x2C, 0x5A, 0x42, 0x44, parameter, value, 0xF7};
}
Bytes set42(uint8_t parameter, uint8_t value) {
    return {0xF0, 0x2C, 0x5A, 0x42, 0x42, parameter, value, 0xF7};
}
const Bytes kSettingsRequest = {0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7};

// A settings report: flags, parameters 1 to 19, byte 25.
Bytes report(uint8_t flags, std::vector<uint8_t> parameters, uint8_t byte25 = 1) {
    Bytes message = {0xF0, 0x2C, 0x5A, 0x42, 0x41, flags};
    parameters.resize(19, 1);
    message.insert(message.end(), parameters.begin(), parameters.end());
    message.push_back(byte25);
    message.push_back(0xF7);
    return message;
}

// Parameters 1..19 of a plain state: Internal, PAL 25, 1080i 50, SD on the
// outputs, Follow Video, 48 kHz, first word-clock entries.
std::vector<uint8_t> plain() {
    return {1, 2, 1, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
}

class Settings : public ConnectedPanel {
  protected:
    void pick(int id, int index) {
        SendDlgItemMessageA(window, id, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        command(window, id, LBN_SELCHANGE);
    }
    void refresh() {
        command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
        deliver();
    }
    std::vector<std::string> entries(int id) { return listEntries(GetDlgItem(window, id)); }
};

struct PickCase {
    int list;
    int index;
    std::vector<Bytes> messages;
};

// Every entry a pick can send, with its exact messages.
std::vector<PickCase> everyPick() {
    std::vector<PickCase> cases;
    for (int i = 0; i < 5; ++i)
        cases.push_back({IDC_SD_STANDARD, i, {set44(2, static_cast<uint8_t>(i + 1))}});
    const uint8_t hd[21][2] = {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 1}, {2, 2},
                               {2, 3}, {2, 4}, {2, 5}, {3, 3}, {3, 4}, {3, 5}, {4, 1},
                               {4, 2}, {4, 3}, {4, 4}, {4, 5}, {5, 3}, {5, 4}, {5, 5}};
    for (int i = 0; i < 21; ++i)
        cases.push_back({IDC_HD_STANDARD, i, {set42(4, hd[i][1]), set44(3, hd[i][0])}});
    for (int out = 0; out < 3; ++out)
        for (int i = 0; i < 2; ++i)
            cases.push_back({IDC_VIDEO_OUT13 + out,
                             i,
                             {set44(static_cast<uint8_t>(5 + out), static_cast<uint8_t>(i + 1))}});
    cases.push_back({IDC_VIDEO_OUT6, 0, {set44(8, 1)}});
    cases.push_back({IDC_VIDEO_OUT6, 1, {set42(24, 0), set44(8, 2)}});
    cases.push_back({IDC_VIDEO_OUT6, 2, {set42(24, 1), set44(8, 2)}});
    cases.push_back({IDC_AUDIO_REF, 0, {set44(9, 1)}});
    const uint8_t word[8][3] = {{1, 1, 1}, {1, 1, 2}, {2, 1, 1}, {2, 1, 2},
                                {1, 2, 1}, {1, 2, 2}, {2, 2, 1}, {2, 2, 2}};
    for (int i = 0; i < 8; ++i)
        cases.push_back({IDC_AUDIO_REF,
                         i + 1,
                         {set42(10, word[i][0]), set42(11, word[i][1]), set42(12, word[i][2]), set44(9, 2)}});
    cases.push_back({IDC_AUDIO_REF, 9, {set44(9, 3)}});
    for (int i = 0; i < 5; ++i)
        cases.push_back({IDC_AUDIO_REF, 10 + i, {set42(13, static_cast<uint8_t>(i + 1)), set44(9, 4)}});
    for (int i = 0; i < 10; ++i)
        cases.push_back(
            {IDC_SAMPLE_RATE,
             i,
             {set42(15, static_cast<uint8_t>(i % 5 + 1)), set44(14, static_cast<uint8_t>(i / 5 + 1))}});
    const int wordLists[4][2] = {
        {IDC_WORD_OUT16, 3}, {IDC_WORD_OUT78, 7}, {IDC_AES_OUT, 2}, {IDC_SPDIF_OUT, 2}};
    for (int n = 0; n < 4; ++n)
        for (int i = 0; i < wordLists[n][1]; ++i)
            cases.push_back(
                {wordLists[n][0], i, {set44(static_cast<uint8_t>(16 + n), static_cast<uint8_t>(i + 1))}});
    for (int i = 0; i < 2; ++i)
        cases.push_back({IDC_NTSC_BLACK, i, {set42(25, static_cast<uint8_t>(i))}});
    for (int i = 0; i < 2; ++i)
        cases.push_back({IDC_EXT_LOCK, i, {set42(26, static_cast<uint8_t>(i))}});
    for (int i = 0; i < 4; ++i)
        cases.push_back({IDC_VIDEO_REF, i, {set44(1, static_cast<uint8_t>(i + 1))}});
    return cases;
}

TEST_F(Settings, EveryPickSendsItsMessagesAndTheReportSelectsItAgain) {
    for (const PickCase& c : everyPick()) {
        SCOPED_TRACE("list " + std::to_string(c.list) + " entry " + std::to_string(c.index));
        if (c.list == IDC_VIDEO_REF || c.list == IDC_SAMPLE_RATE) {
            pick(IDC_AUDIO_REF, 0); // Follow Video: the video reference is free, the sample rate enabled
            deliver();
            refresh();
            clearSent();
        }
        pick(c.list, c.index);
        EXPECT_EQ(sent(), c.messages);
        bool keepsSelection = c.list == IDC_NTSC_BLACK || c.list == IDC_EXT_LOCK;
        EXPECT_EQ(selection(window, c.list), keepsSelection ? c.index : LB_ERR);
        deliver();
        refresh();
        EXPECT_EQ(selection(window, c.list), c.index);
        clearSent();
    }
    EXPECT_EQ(simUnknownCommands(0), 0);
}

TEST_F(Settings, FollowAudioIsShownNeverChosen) {
    pick(IDC_AUDIO_REF, 6); // Ext. Word FS 88.2 pd
    EXPECT_EQ(sent(), (std::vector<Bytes>{set42(10, 1), set42(11, 2), set42(12, 2), set44(9, 2)}));
    deliver();
    refresh();
    EXPECT_EQ(selection(window, IDC_VIDEO_REF), 4);
    clearSent();
    pick(IDC_VIDEO_REF, 4);
    EXPECT_EQ(sent(), std::vector<Bytes>{kSettingsRequest});
    EXPECT_EQ(selection(window, IDC_VIDEO_REF), 4); // kept until the report
    deliver();
    clearSent();
    pick(IDC_VIDEO_REF, 1); // refused while locked to an external word clock
    EXPECT_EQ(sent(), std::vector<Bytes>{kSettingsRequest});
    deliver();
    EXPECT_EQ(selection(window, IDC_VIDEO_REF), 4);
    pick(IDC_AUDIO_REF, 12); // LTC 25 fps: accepted again
    deliver();
    refresh();
    clearSent();
    pick(IDC_VIDEO_REF, 1);
    EXPECT_EQ(sent(), std::vector<Bytes>{set44(1, 2)});
}

TEST_F(Settings, NotificationWithoutSelectionSendsNothing) {
    for (int id :
         {IDC_VIDEO_REF, IDC_SD_STANDARD, IDC_HD_STANDARD, IDC_VIDEO_OUT13, IDC_VIDEO_OUT6, IDC_AUDIO_REF,
          IDC_SAMPLE_RATE, IDC_WORD_OUT78, IDC_SPDIF_OUT, IDC_NTSC_BLACK, IDC_EXT_LOCK, IDC_PROFILE_LIST}) {
        SendDlgItemMessageA(window, id, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        command(window, id, LBN_SELCHANGE);
    }
    command(window, IDC_SD_STANDARD, LBN_DBLCLK); // other notifications are not picks
    EXPECT_TRUE(sent().empty());
}

TEST_F(Settings, ConfigProtectSetsAndStores) {
    SendDlgItemMessageA(window, IDC_CONFIG_PROTECT, BM_SETCHECK, BST_CHECKED, 0);
    command(window, IDC_CONFIG_PROTECT, BN_CLICKED);
    SendDlgItemMessageA(window, IDC_CONFIG_PROTECT, BM_SETCHECK, BST_UNCHECKED, 0);
    command(window, IDC_CONFIG_PROTECT, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x58, 0x50, 0x00, 0x01, 0xF7},
                                          {0xF0, 0x2C, 0x5A, 0x42, 0x5A, 0x50, 0x00, 0x01, 0xF7},
                                          {0xF0, 0x2C, 0x5A, 0x42, 0x58, 0x50, 0x00, 0x00, 0xF7},
                                          {0xF0, 0x2C, 0x5A, 0x42, 0x5A, 0x50, 0x00, 0x00, 0xF7}}));
    receive(report(0x20, plain()));
    EXPECT_TRUE(isChecked(window, IDC_CONFIG_PROTECT));
    receive(report(0x00, plain()));
    EXPECT_FALSE(isChecked(window, IDC_CONFIG_PROTECT));
}

TEST_F(Settings, OutputListsFollowTheReportedStandards) {
    std::vector<uint8_t> p = plain();
    p[1] = 4; // PAL 23.98
    p[2] = 5; // 720p 50 / 59.94 / 60
    p[3] = 5; // 60
    p[7] = 2; // VIDEO OUT 6: HD
    receive(report(0x10, p));
    EXPECT_EQ(entries(IDC_VIDEO_OUT13), (std::vector<std::string>{"PAL 23.98", "720p 60"}));
    EXPECT_EQ(entries(IDC_VIDEO_OUT6), (std::vector<std::string>{"PAL 23.98", "720p 60", "Black Dolby"}));
    EXPECT_EQ(selection(window, IDC_VIDEO_OUT6), 2); // Black Dolby on, value 2
    EXPECT_EQ(selection(window, IDC_HD_STANDARD), 20);
    EXPECT_EQ(entries(IDC_WORD_OUT16), (std::vector<std::string>{"x1: 48 kHz         ", "x2: 96 kHz         ",
                                                                 "x4: 192 kHz        "}));
    EXPECT_EQ(entries(IDC_WORD_OUT78).size(), 7u);
    EXPECT_EQ(entries(IDC_WORD_OUT78)[6], "Pilotton");
    EXPECT_EQ(entries(IDC_AES_OUT), (std::vector<std::string>{"x1: 48 kHz         ", "x2: 96 kHz         "}));
}

TEST_F(Settings, HdCodesWithoutAnEntry) {
    const struct {
        uint8_t group, rate;
        int index;
    } cases[] = {{3, 1, 8}, {3, 2, 9}, {5, 1, 18}, {5, 2, 19}};
    for (auto c : cases) {
        std::vector<uint8_t> p = plain();
        p[2] = c.group;
        p[3] = c.rate;
        receive(report(0, p));
        EXPECT_EQ(selection(window, IDC_HD_STANDARD), c.index);
    }
}

TEST_F(Settings, LabelRowsForSampleRateVarispeedAndWordOneToOne) {
    std::vector<uint8_t> p = plain();
    p[13] = 2; // 44.1 kHz
    p[14] = 2; // + 4 %
    receive(report(0, p));
    EXPECT_EQ(entries(IDC_WORD_OUT16)[0], "x1: 44.1 kHz +4    ");
    EXPECT_EQ(selection(window, IDC_SAMPLE_RATE), 6);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_SAMPLE_RATE)));

    receive(report(0x40, p)); // varispeed
    EXPECT_EQ(entries(IDC_WORD_OUT16)[1], "x2: varispeed x2   ");
    EXPECT_EQ(selection(window, IDC_SAMPLE_RATE), LB_ERR);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_SAMPLE_RATE)));

    p[8] = 3; // Ext. Word 1:1 wins over varispeed
    receive(report(0x40, p));
    EXPECT_EQ(entries(IDC_SPDIF_OUT),
              (std::vector<std::string>{"x1: Ext. Word      ", "x2: Ext. Word      "}));
    EXPECT_EQ(selection(window, IDC_AUDIO_REF), 9);
}

TEST_F(Settings, VarispeedClearedInTheReportEmptiesTheFrequency) {
    SetDlgItemTextA(window, IDC_VARISPEED_FREQ, "48000533");
    SetDlgItemTextA(window, IDC_VARISPEED_TEXT, "48000.533 Hz");
    receive(report(0x40, plain()));
    EXPECT_EQ(controlText(window, IDC_VARISPEED_FREQ), "48000533");
    receive(report(0x00, plain()));
    EXPECT_EQ(controlText(window, IDC_VARISPEED_FREQ), "");
    EXPECT_EQ(controlText(window, IDC_VARISPEED_TEXT),
              "Enter word clock frequency\nin milli Hertz i.e. 48000533");
}

TEST_F(Settings, OutOfRangeReportBytesSelectNothing) {
    std::vector<uint8_t> p = plain();
    p[0] = 0; // video reference 0
    p[1] = 9; // SD standard beyond the list
    p[2] = 0; // HD group 0
    receive(report(0, p));
    EXPECT_EQ(selection(window, IDC_VIDEO_REF), LB_ERR);
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), LB_ERR);
    EXPECT_EQ(selection(window, IDC_HD_STANDARD), LB_ERR);
    EXPECT_EQ(entries(IDC_VIDEO_OUT13), (std::vector<std::string>{"-", "-"}));
    EXPECT_EQ(entries(IDC_VIDEO_OUT6), (std::vector<std::string>{"-", "-", "Black Dolby"}));
    EXPECT_EQ(selection(window, IDC_VIDEO_OUT6), LB_ERR);

    p = plain();
    p[8] = 7; // no such audio reference mode
    receive(report(0, p));
    EXPECT_EQ(selection(window, IDC_AUDIO_REF), LB_ERR);
    EXPECT_EQ(entries(IDC_WORD_OUT16), (std::vector<std::string>{"-", "-", "-"}));
    EXPECT_EQ(entries(IDC_WORD_OUT78), (std::vector<std::string>{"-", "-", "-", "x256 Superclock",
                                                                 "x1 AES 11", "x2 AES 11", "Pilotton"}));
    EXPECT_EQ(selection(window, IDC_WORD_OUT78), LB_ERR);

    p = plain();
    p[14] = 6; // sample-rate variant beyond the table
    receive(report(0, p));
    EXPECT_EQ(selection(window, IDC_SAMPLE_RATE), LB_ERR);
    EXPECT_EQ(entries(IDC_AES_OUT), (std::vector<std::string>{"-", "-"}));
    p[14] = 1;
    p[15] = 9; // WORD OUT 1-6 beyond its three entries
    receive(report(0, p));
    EXPECT_EQ(selection(window, IDC_WORD_OUT16), LB_ERR);
}

// A standard or a label row that the report leaves undefined keeps its place
// as "-": picking it sends nothing and clears the selection, and every other
// entry still sends its own bytes. The reported value selects its entry
// unless that is a "-".
TEST_F(Settings, UndefinedEntriesKeepTheirPlace) {
    const std::vector<Bytes> kNothing;
    struct ListCase {
        int list;
        std::vector<std::string> entries;
        std::vector<std::vector<Bytes>> picks; // by index
        int reportedSelection;
    };
    struct Missing {
        const char* what;
        int parameter; // index into plain()
        uint8_t value;
        std::vector<ListCase> lists;
    };
    std::vector<Missing> cases;
    Missing noSd{"no SD standard", 1, 0, {}}, noHd{"no HD standard", 2, 0, {}};
    for (int out = 0; out < 3; ++out) {
        uint8_t parameter = static_cast<uint8_t>(5 + out);
        noSd.lists.push_back(
            {IDC_VIDEO_OUT13 + out, {"-", "1080i 50"}, {kNothing, {set44(parameter, 2)}}, LB_ERR});
        noHd.lists.push_back({IDC_VIDEO_OUT13 + out, {"PAL 25", "-"}, {{set44(parameter, 1)}, kNothing}, 0});
    }
    noSd.lists.push_back({IDC_VIDEO_OUT6,
                          {"-", "1080i 50", "Black Dolby"},
                          {kNothing, {set42(24, 0), set44(8, 2)}, {set42(24, 1), set44(8, 2)}},
                          LB_ERR});
    noHd.lists.push_back({IDC_VIDEO_OUT6,
                          {"PAL 25", "-", "Black Dolby"},
                          {{set44(8, 1)}, kNothing, {set42(24, 1), set44(8, 2)}},
                          0});
    cases.push_back(noSd);
    cases.push_back(noHd);
    // Without a label row: no audio reference, or a sample rate beyond the table.
    for (Missing row : {Missing{"no audio reference", 8, 7, {}}, Missing{"no sample rate", 14, 6, {}}}) {
        row.lists = {
            {IDC_WORD_OUT16, {"-", "-", "-"}, {kNothing, kNothing, kNothing}, LB_ERR},
            {IDC_WORD_OUT78,
             {"-", "-", "-", "x256 Superclock", "x1 AES 11", "x2 AES 11", "Pilotton"},
             {kNothing, kNothing, kNothing, {set44(17, 4)}, {set44(17, 5)}, {set44(17, 6)}, {set44(17, 7)}},
             LB_ERR},
            {IDC_AES_OUT, {"-", "-"}, {kNothing, kNothing}, LB_ERR},
            {IDC_SPDIF_OUT, {"-", "-"}, {kNothing, kNothing}, LB_ERR},
        };
        cases.push_back(row);
    }
    for (const Missing& m : cases) {
        for (const ListCase& l : m.lists) {
            SCOPED_TRACE(std::string(m.what) + ", list " + std::to_string(l.list));
            std::vector<uint8_t> p = plain();
            p[static_cast<size_t>(m.parameter)] = m.value;
            receive(report(0, p));
            EXPECT_EQ(entries(l.list), l.entries);
            EXPECT_EQ(selection(window, l.list), l.reportedSelection);
            for (size_t i = 0; i < l.picks.size(); ++i) {
                SCOPED_TRACE("entry " + std::to_string(i));
                clearSent();
                pick(l.list, static_cast<int>(i));
                EXPECT_EQ(sent(), l.picks[i]);
                EXPECT_EQ(selection(window, l.list), LB_ERR);
            }
        }
    }
    std::vector<uint8_t> p = plain();
    p[1] = 0;  // no SD standard
    p[5] = 2;  // VIDEO OUT 4 on the HD standard
    p[16] = 7; // WORD OUT 7-8 on Pilotton
    p[8] = 7;  // no audio reference
    receive(report(0, p));
    EXPECT_EQ(selection(window, IDC_VIDEO_OUT4), 1);
    EXPECT_EQ(selection(window, IDC_WORD_OUT78), 6);
    deliver();
    EXPECT_EQ(simUnknownCommands(0), 0);
}

TEST_F(Settings, ShortReportIsIgnored) {
    receive(report(0, plain()));
    Bytes shortReport = report(0x20, {1, 5});
    shortReport.erase(shortReport.end() - 2); // 26 bytes
    receive(shortReport);
    EXPECT_FALSE(isChecked(window, IDC_CONFIG_PROTECT));
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), 1);
}

TEST_F(Settings, FrontPanelChangeReachesTheScreen) {
    size_t before = logLines(window).size();
    simFrontPanelSet(0, 2, 5); // B&W 30 on the unit's own buttons, then report 0x61 status 0x07
    deliver();
    EXPECT_EQ(sent(), std::vector<Bytes>{kSettingsRequest});
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), 4);
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), "2026.03.07 09:05:02 settings changed with hardware interface");
}

// ---- User profiles ----

TEST_F(Settings, FirstReportAfterConnectBuildsTheProfileList) {
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_PROFILE_LIST, LB_GETCOUNT, 0, 0), 4);
    command(window, IDC_CONNECT, BN_CLICKED); // forgets the current profile
    simSetIdentity(0, "1234", "0301", 0x0A);
    deliver();
    receive(report(2, plain()));
    EXPECT_EQ(selection(window, IDC_PROFILE_LIST), 2);
    EXPECT_EQ(controlText(window, IDC_PROFILE_NAME), panel.profileNames[2]);
    EXPECT_EQ(entries(IDC_PROFILE_LIST)[2], std::string("3: ") + panel.profileNames[2]);

    SetDlgItemTextA(window, IDC_PROFILE_NAME, "typing");
    receive({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x32, 4, 1, 4, 2, 0, 0, 0, 0, 0,   0,
             0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0xF7}); // slot 2 is now "AB"
    receive(report(2, plain()));
    EXPECT_EQ(controlText(window, IDC_PROFILE_NAME), "typing"); // same profile: list and edit left alone
    EXPECT_STREQ(panel.profileNames[2], "AB");
}

TEST(Profiles, DefaultNamesBeforeAnyNameReport) {
    HWND window = openPanel();
    connectAndIdentify(window); // no request sequence: no names asked for
    Bytes settings = report(3, plain());
    simSendRaw(0, settings.data(), settings.size());
    deliver();
    std::vector<std::string> names = listEntries(GetDlgItem(window, IDC_PROFILE_LIST));
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0], "1: default nam1");
    EXPECT_EQ(names[3], "4: default nam4");
    EXPECT_EQ(selection(window, IDC_PROFILE_LIST), 3);
    EXPECT_EQ(controlText(window, IDC_PROFILE_NAME), "default nam4");
    closePanel(window);
}

TEST_F(Settings, RecallAndSave) {
    pick(IDC_PROFILE_LIST, 3);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x46, 0x04, 0xF7}}));
    EXPECT_EQ(selection(window, IDC_PROFILE_LIST), LB_ERR);
    EXPECT_EQ(panel.currentProfile, CurrentProfile::Unknown);
    deliver();
    refresh();
    EXPECT_EQ(selection(window, IDC_PROFILE_LIST), 3);
    clearSent();

    pick(IDC_PROFILE_LIST, 0);
    deliver();
    refresh();
    clearSent();
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "AB");
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
    Bytes name = {0xF0, 0x2C, 0x5A, 0x42, 0x52, 4, 1, 4, 2};
    name.resize(29, 0); // zeros after the terminator, whatever the slot held before
    name.push_back(0xF7);
    EXPECT_EQ(sent(), (std::vector<Bytes>{name, {0xF0, 0x2C, 0x5A, 0x42, 0x54, 0xF7}}));
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved Profile 1: AB");
    deliver();
    char stored[13] = {};
    simGetProfileName(0, 0, stored);
    EXPECT_STREQ(stored, "AB");

    refresh();
    clearSent();
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "Studio A 123");
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
    std::vector<Bytes> messages = sent();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0][27], '3' >> 4);
    EXPECT_EQ(messages[0][28], '3' & 0x0F);
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved Profile 1: Studio A 123");
}

TEST_F(Settings, SaveWithoutSelection) {
    // After a recall the list has no selection and the current profile is unknown: nothing is saved.
    pick(IDC_PROFILE_LIST, 1);
    clearSent();
    size_t before = logLines(window).size();
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logLines(window).size(), before);
    // With the current profile known (selection cleared by hand), that profile is saved.
    deliver();
    refresh();
    SendDlgItemMessageA(window, IDC_PROFILE_LIST, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "Two");
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved Profile 2: Two");
}

TEST_F(Settings, SaveWithoutOutputSaysItWasNotSent) {
    int current = selection(window, IDC_PROFILE_LIST);
    ASSERT_GE(current, 0);
    command(window, IDC_RELEASE, BN_CLICKED);
    clearSent();
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "Late");
    command(window, IDC_SAVE_PROFILE, BN_CLICKED);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved Profile " + std::to_string(current + 1) +
                                           ": Late not sent: zembrax HD not connected");
    EXPECT_EQ(panel.currentProfile, CurrentProfile::Unknown);
}

TEST_F(Settings, SaveButtonFollowsTheReportAndTheEdit) {
    receive(report(0, plain(), 0));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_SAVE_PROFILE)));
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "x");
    pumpMessages();
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_SAVE_PROFILE)));
    receive(report(0, plain(), 1));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_SAVE_PROFILE)));
}

} // namespace
