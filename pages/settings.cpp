// Settings page: static list contents, selection handlers, settings report.
#include "settings.h"

#include <array>
#include <span>

#include "../core/panel.h"
#include "../core/resource.h"
#include "../link/connection.h"
#include "../link/message_table.h"
#include "profiles.h"

namespace {

constexpr std::array kVideoReference = {"Internal", "Ext. PAL", "Ext. NTSC", "Ext. Tri Level",
                                        "Follow Audio"};
constexpr std::array kSdStandard = {"NTSC", "PAL 25", "PAL 24", "PAL 23.98", "B&W 30"};
constexpr std::array kNtscBlack = {"NTSC-J JAPAN ", "+7.5 IRE USA"};
constexpr std::array kExtVideoLock = {"Syncs only", "Syncs & SC"};
constexpr std::array kHdStandard = {
    "1080i 47.95", "1080i 48",    "1080i 50",   "1080i 59.94", "1080i 60",    "1080p 23.98", "1080p 24",
    "1080p 25",    "1080p 29.97", "1080p 30",   "1080p 50",    "1080p 59.94", "1080p 60",    "720p 23.98",
    "720p 24",     "720p 25",     "720p 29.97", "720p 30",     "720p 50",     "720p 59.94",  "720p 60",
};
constexpr std::array kAudioReference = {
    "Follow Video",       "Ext. Word FS 44.1", "Ext. Word FS 44.1 pd", "Ext. Word FS 48",
    "Ext. Word FS 48 pd", "Ext. Word FS 88.2", "Ext. Word FS 88.2 pd", "Ext. Word FS 96",
    "Ext. Word FS 96 pd", "Ext. Word 1:1",     "LTC 23.98 fps",        "LTC 24 fps",
    "LTC 25 fps",         "LTC 29.97 fps",     "LTC 30 fps",
};
constexpr std::array kSampleRate = {
    "48 kHz",   "48 kHz + 4%",   "48 kHz + 0.1%",   "48 kHz - 0.1%",   "48 kHz - 4%",
    "44.1 kHz", "44.1 kHz + 4%", "44.1 kHz + 0.1%", "44.1 kHz - 0.1%", "44.1 kHz - 4%",
};

// Word-clock labels: rows 0 to 9 follow the sample-rate list, row 10 is for an
// active varispeed, row 11 for "Ext. Word 1:1". x1, x2, x4 each; these are the
// unit's own texts, 19 characters each.
constexpr const char* kWordClockLabels[12][3] = {
    {"x1: 48 kHz         ", "x2: 96 kHz         ", "x4: 192 kHz        "},
    {"x1: 48 kHz +4%     ", "x2: 96 kHz +4%     ", "x4: 192 kHz +4%    "},
    {"x1: 48 kHz +0.1%   ", "x2: 96 kHz +0.1%   ", "x4: 192 kHz +0.1%  "},
    {"x1: 48 kHz -0.1%   ", "x2: 96 kHz -0.1%   ", "x4: 192 kHz -0.1%  "},
    {"x1: 48 kHz -4%     ", "x2: 96 kHz -4%     ", "x4: 192 kHz -4%    "},
    {"x1: 44.1 kHz       ", "x2: 88.2 kHz       ", "x4: 176.4 kHz      "},
    {"x1: 44.1 kHz +4    ", "x2: 88.2 kHz +4%   ", "x4: 176.4 kHz +4%  "},
    {"x1: 44.1 kHz +0.1% ", "x2: 88.2 kHz +0.1  ", "x4: 176.4 kHz +0.1%"},
    {"x1: 44.1 kHz -0.1% ", "x2: 88.2 kHz -0.1% ", "x4: 176.4 kHz -0.1%"},
    {"x1: 44.1 kHz -4%   ", "x2: 88.2 kHz -4%   ", "x4: 176.4 kHz -4%  "},
    {"x1: varispeed      ", "x2: varispeed x2   ", "x4: varispeed x4   "},
    {"x1: Ext. Word      ", "x2: Ext. Word      ", "x4: Ext. Word      "},
};
constexpr int kVarispeedRow = 10;
constexpr int kWordOneToOneRow = 11;
constexpr int kWordOneToOne = 9; // "Ext. Word 1:1" in list 247

constexpr std::array kWordOut78Fixed = {"x256 Superclock", "x1 AES 11", "x2 AES 11", "Pilotton"};

// Stands in a rebuilt list for an entry the report leaves undefined (a
// standard or a label row), so that every other entry keeps its place and
// with it the value its position sends. Picking it sends nothing.
constexpr const char* kPlaceholder = "-";

// Parameter numbers of commands 0x44 and 0x42.
enum Parameter : uint8_t {
    kVideoRefParam = 1,
    kSdStandardParam = 2,
    kHdGroup = 3,
    kHdRate = 4,
    kVideoOut13 = 5,
    kVideoOut6 = 8,
    kAudioMode = 9,
    kWordFamily = 10,
    kWordSpeed = 11,
    kWordPullDown = 12,
    kLtcRate = 13,
    kRateFamily = 14,
    kRateVariant = 15,
    kWordOut16 = 16,
    kBlackDolby = 24,
    kNtscBlackParam = 25,
    kExtLockParam = 26,
};

void fill(int id, std::span<const char* const> entries) {
    for (const char* entry : entries)
        SendMessageA(control(id), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
}

void append(int id, const char* text) {
    SendMessageA(control(id), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void empty(int id) {
    SendMessageA(control(id), LB_RESETCONTENT, 0, 0);
}

int count(int id) {
    return static_cast<int>(SendMessageA(control(id), LB_GETCOUNT, 0, 0));
}

int selectionOf(int id) {
    return static_cast<int>(SendMessageA(control(id), LB_GETCURSEL, 0, 0));
}

bool isPlaceholder(int id, int i) {
    if (SendMessageA(control(id), LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) != 1) return false;
    char text[2] = {};
    SendMessageA(control(id), LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    return text[0] == kPlaceholder[0];
}

// Selects entry i, or nothing when i is not an entry of the list or only
// stands in for an undefined one.
void select(int id, int i) {
    if (i < 0 || i >= count(id) || isPlaceholder(id, i)) i = -1;
    SendMessageA(control(id), LB_SETCURSEL, static_cast<WPARAM>(i), 0);
}

void clearSelection(int id) {
    SendMessageA(control(id), LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

void setParameter(uint8_t parameter, uint8_t value) {
    sendParameter(Msg::SetParameter, parameter, value);
}
void setCompanion(uint8_t parameter, uint8_t value) {
    sendParameter(Msg::SetCompanion, parameter, value);
}

// A one-based report byte as a zero-based index below `entries`, else -1.
int oneBased(uint8_t value, int entries) {
    return value >= 1 && value <= entries ? value - 1 : -1;
}

bool bit(uint8_t value, int n) {
    return (value >> n) & 1;
}

void onVideoReference(int i) {
    if (i >= 4) { // "Follow Audio" is only shown, never chosen: ask for the truth
        sendMessage(Msg::RequestSettings);
        return;
    }
    int audio = selectionOf(IDC_AUDIO_REF);
    if (audio == 0 || audio >= kWordOneToOne) {
        clearSelection(IDC_VIDEO_REF);
        setParameter(kVideoRefParam, static_cast<uint8_t>(i + 1));
    } else {
        sendMessage(Msg::RequestSettings); // locked to an external word clock: refused
    }
}

void onAudioReference(int i) {
    clearSelection(IDC_AUDIO_REF);
    if (i == 0) {
        setParameter(kAudioMode, 1);
    } else if (i <= 8) {
        int v = i - 1;
        setCompanion(kWordFamily, static_cast<uint8_t>(1 + bit(static_cast<uint8_t>(v), 1)));
        setCompanion(kWordSpeed, static_cast<uint8_t>(1 + bit(static_cast<uint8_t>(v), 2)));
        setCompanion(kWordPullDown, static_cast<uint8_t>(1 + bit(static_cast<uint8_t>(v), 0)));
        setParameter(kAudioMode, 2);
    } else if (i == kWordOneToOne) {
        setParameter(kAudioMode, 3);
    } else {
        setCompanion(kLtcRate, static_cast<uint8_t>(i - 9));
        setParameter(kAudioMode, 4);
    }
}

void onVideoOut6(int i) {
    clearSelection(IDC_VIDEO_OUT6);
    switch (i) {
    case 0: setParameter(kVideoOut6, 1); break;
    case 1:
        setCompanion(kBlackDolby, 0);
        setParameter(kVideoOut6, 2);
        break;
    case 2:
        setCompanion(kBlackDolby, 1);
        setParameter(kVideoOut6, 2);
        break;
    default: break;
    }
}

// Audio reference index from report bytes 14 to 18, -1 when undefined.
int audioReferenceIndex(const uint8_t* b) {
    switch (b[14]) {
    case 1: return 0;
    case 2:
        if (b[15] < 1 || b[15] > 2 || b[16] < 1 || b[16] > 2 || b[17] < 1 || b[17] > 2) return -1;
        return b[17] + 2 * b[15] + 4 * b[16] - 6;
    case 3: return kWordOneToOne;
    case 4: return b[18] >= 1 && b[18] <= 5 ? b[18] + 9 : -1;
    default: return -1;
    }
}

// Empties a word-clock list and appends `labels` labels of row `row`
// (placeholders when the row is unknown), then selects the reported entry.
void rebuildWordList(int id, int row, int labels, uint8_t reported) {
    empty(id);
    for (int n = 0; n < labels; ++n)
        append(id, row >= 0 ? kWordClockLabels[row][n] : kPlaceholder);
    if (id == IDC_WORD_OUT78)
        for (const char* entry : kWordOut78Fixed)
            append(id, entry);
    select(id, reported - 1);
}

} // namespace

int hdCodeOfIndex(int index) {
    int code = index + (index > 9 ? 2 : 0);
    return code + (code > 19 ? 2 : 0);
}

int hdIndexOfCode(int code) {
    int index = code - (code > 9 ? 2 : 0);
    return index - (index > 19 ? 2 : 0);
}

const char* settingsEntryText(int id, int index) {
    std::span<const char* const> entries;
    switch (id) {
    case IDC_VIDEO_REF: entries = kVideoReference; break;
    case IDC_SD_STANDARD: entries = kSdStandard; break;
    case IDC_HD_STANDARD: entries = kHdStandard; break;
    case IDC_AUDIO_REF: entries = kAudioReference; break;
    case IDC_SAMPLE_RATE: entries = kSampleRate; break;
    case IDC_NTSC_BLACK: entries = kNtscBlack; break;
    case IDC_EXT_LOCK: entries = kExtVideoLock; break;
    default: return nullptr;
    }
    return index >= 0 && static_cast<std::size_t>(index) < entries.size() ? entries[index] : nullptr;
}

void fillSettingsLists() {
    fill(IDC_VIDEO_REF, kVideoReference);
    fill(IDC_SD_STANDARD, kSdStandard);
    fill(IDC_NTSC_BLACK, kNtscBlack);
    fill(IDC_EXT_LOCK, kExtVideoLock);
    fill(IDC_HD_STANDARD, kHdStandard);
    fill(IDC_AUDIO_REF, kAudioReference);
    fill(IDC_SAMPLE_RATE, kSampleRate);
}

void onSettingsSelection(int id, int code) {
    if (code != LBN_SELCHANGE) return;
    int i = selectionOf(id);
    if (i < 0) return;          // no selection: nothing to send
    if (isPlaceholder(id, i)) { // an undefined entry: nothing to send
        clearSelection(id);
        return;
    }
    switch (id) {
    case IDC_VIDEO_REF: onVideoReference(i); return;
    case IDC_NTSC_BLACK: setCompanion(kNtscBlackParam, static_cast<uint8_t>(i)); return;
    case IDC_EXT_LOCK: setCompanion(kExtLockParam, static_cast<uint8_t>(i)); return;
    case IDC_AUDIO_REF: onAudioReference(i); return;
    case IDC_VIDEO_OUT6: onVideoOut6(i); return;
    default: break;
    }
    clearSelection(id);
    switch (id) {
    case IDC_SD_STANDARD: setParameter(kSdStandardParam, static_cast<uint8_t>(i + 1)); break;
    case IDC_HD_STANDARD: {
        int code = hdCodeOfIndex(i);
        setCompanion(kHdRate, static_cast<uint8_t>(code % 5 + 1));
        setParameter(kHdGroup, static_cast<uint8_t>(code / 5 + 1));
        break;
    }
    case IDC_VIDEO_OUT13:
    case IDC_VIDEO_OUT4:
    case IDC_VIDEO_OUT5:
        setParameter(static_cast<uint8_t>(kVideoOut13 + (id - IDC_VIDEO_OUT13)), static_cast<uint8_t>(i + 1));
        break;
    case IDC_SAMPLE_RATE:
        setCompanion(kRateVariant, static_cast<uint8_t>(i % 5 + 1));
        setParameter(kRateFamily, static_cast<uint8_t>(i / 5 + 1));
        break;
    case IDC_WORD_OUT16:
    case IDC_WORD_OUT78:
    case IDC_AES_OUT:
    case IDC_SPDIF_OUT:
        setParameter(static_cast<uint8_t>(kWordOut16 + (id - IDC_WORD_OUT16)), static_cast<uint8_t>(i + 1));
        break;
    default: break;
    }
}

void onConfigProtect() {
    uint8_t checked = SendMessageA(control(IDC_CONFIG_PROTECT), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    sendItemValue(Msg::SetValue, 0x50, checked);
    sendItemValue(Msg::StoreValue, 0x50, checked);
}

void onSettingsReport(const uint8_t* b, std::size_t bytes) {
    if (bytes < kSettingsReportLength) return;
    const uint8_t flags = b[5];
    onCurrentProfileReported(flags & 3);
    select(IDC_NTSC_BLACK, bit(flags, 2));
    select(IDC_EXT_LOCK, bit(flags, 3));
    SendMessageA(control(IDC_CONFIG_PROTECT), BM_SETCHECK, bit(flags, 5) ? BST_CHECKED : BST_UNCHECKED, 0);
    const bool varispeed = bit(flags, 6);
    if (!varispeed) {
        SetDlgItemTextA(panel.window, IDC_VARISPEED_FREQ, "");
        SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT, kVarispeedHint);
    }
    select(IDC_VIDEO_REF, oneBased(b[6], 5));

    // The video outputs offer the reported SD and HD standards, in this order
    // whether or not each is defined.
    constexpr int kVideoOuts[] = {IDC_VIDEO_OUT13, IDC_VIDEO_OUT4, IDC_VIDEO_OUT5, IDC_VIDEO_OUT6};
    for (int id : kVideoOuts)
        empty(id);
    int sd = oneBased(b[7], static_cast<int>(kSdStandard.size()));
    for (int id : kVideoOuts)
        append(id, sd >= 0 ? kSdStandard[static_cast<std::size_t>(sd)] : kPlaceholder);
    select(IDC_SD_STANDARD, sd);
    int group = oneBased(b[8], 5), rate = oneBased(b[9], 5);
    int hd = group >= 0 && rate >= 0 ? hdIndexOfCode(group * 5 + rate) : -1;
    for (int id : kVideoOuts)
        append(id, hd >= 0 ? kHdStandard[static_cast<std::size_t>(hd)] : kPlaceholder);
    select(IDC_HD_STANDARD, hd);
    append(IDC_VIDEO_OUT6, "Black Dolby");
    select(IDC_VIDEO_OUT13, b[10] - 1);
    select(IDC_VIDEO_OUT4, b[11] - 1);
    select(IDC_VIDEO_OUT5, b[12] - 1);
    select(IDC_VIDEO_OUT6, bit(flags, 4) && b[13] == 2 ? 2 : b[13] - 1);

    int audio = audioReferenceIndex(b);
    if (b[14] == 2) select(IDC_VIDEO_REF, 4); // the video follows the external word clock
    select(IDC_AUDIO_REF, audio);

    int rateIndex = b[19] >= 1 && b[19] <= 2 && b[20] >= 1 && b[20] <= 5 ? (b[19] - 1) * 5 + (b[20] - 1) : -1;
    if (varispeed || audio == kWordOneToOne) {
        EnableWindow(control(IDC_SAMPLE_RATE), FALSE);
        clearSelection(IDC_SAMPLE_RATE);
    } else {
        EnableWindow(control(IDC_SAMPLE_RATE), TRUE);
        select(IDC_SAMPLE_RATE, rateIndex);
    }
    int row = rateIndex;
    if (varispeed) row = kVarispeedRow;
    if (audio == kWordOneToOne) row = kWordOneToOneRow;
    if (audio < 0) row = -1; // no defined audio reference: no labels to show
    rebuildWordList(IDC_WORD_OUT16, row, 3, b[21]);
    rebuildWordList(IDC_WORD_OUT78, row, 3, b[22]);
    rebuildWordList(IDC_AES_OUT, row, 2, b[23]);
    rebuildWordList(IDC_SPDIF_OUT, row, 2, b[24]);

    EnableWindow(control(IDC_SAVE_PROFILE), bit(b[25], 0));
}
