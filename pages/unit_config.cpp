// Unit configuration: the reports it waits for, the keys of its file with
// their ranges and words, the file through the Windows profile functions, the
// differences, and the restore's messages.
//
// The file: a comment at its top, then [unit] (serial, firmware, panel,
// date), [settings], [calibration] and [profiles]. A settings or calibration
// value is the number the unit uses; where a list names it, its words follow
// after a semicolon ("video_reference=2 ; Ext. PAL"). Profile names are only
// kept for reference: storing a name stores the current settings into that
// profile, so a restore leaves them alone.
#include "unit_config.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <span>

#include "../core/clock.h"
#include "../core/log_file.h"
#include "../core/resource.h"
#include "../core/timer.h"
#include "../link/message_table.h"
#include "calibration.h"
#include "profiles.h"
#include "settings.h"
#include "version.h"

namespace {

// ---- The reports ----

// In request order, one bit each in panel.configAwaited.
constexpr int kReportCount = 8;
constexpr uint16_t kAllReports = (1u << kReportCount) - 1;
constexpr int kSettingsBit = 4;
constexpr int kFirstCalibrationBit = 5;
constexpr const char* kReportNames[kReportCount] = {
    "profile name 1",  "profile name 2",   "profile name 3", "profile name 4",
    "settings report", "subcarrier phase", "H-phase offset", "user calibration offset",
};
constexpr uint8_t kNameItems[4] = {0x0A, 0x1E, 0x32, 0x68};
constexpr uint8_t kCalibrationItems[3] = {0x48, 0x79, 0x51};
constexpr uint8_t kConfigProtectItem = 0x50;

SendResult request(int step) {
    if (step < 4) return sendWithItem(Msg::RequestItem, kNameItems[step]);
    if (step == kSettingsBit) return sendMessage(Msg::RequestSettings);
    return sendWithItem(Msg::RequestCalibration, kCalibrationItems[step - kFirstCalibrationBit]);
}

void arrived(int bit) {
    panel.configAwaited = static_cast<uint16_t>(panel.configAwaited & ~(1u << bit));
}

ConfigWait endWait(ConfigWait wait) {
    KillTimer(panel.window, kTimerConfiguration);
    return wait;
}

// ---- The keys ----

enum class KeyKind : uint8_t { Parameter, HdCode, Protect, Calibration };

// The words of a value, or null where no list names it.
using Words = const char* (*)(const UnitValues& values, int value);

struct Key {
    const char* section;
    const char* name;
    const char* label; // in the differences
    KeyKind kind;
    uint8_t number; // parameter number, or the calibration item's place
    int lowest, highest;
    Words words;
};

const char* pick(std::span<const char* const> words, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < words.size() ? words[index] : nullptr;
}

bool hdCodeHasEntry(int code) {
    return code >= 0 && code <= 24 && hdCodeOfIndex(hdIndexOfCode(code)) == code;
}

constexpr const char* kOutputWords[] = {"SD standard", "HD standard"};
constexpr const char* kOnOffWords[] = {"off", "on"};
constexpr const char* kWordFamilyWords[] = {"44.1 kHz", "48 kHz"};
constexpr const char* kWordSpeedWords[] = {"single", "double"};
constexpr const char* kPullDownWords[] = {"none", "pd"};
constexpr const char* kLtcRateWords[] = {"23.98 fps", "24 fps", "25 fps", "29.97 fps", "30 fps"};
constexpr const char* kRateFamilyWords[] = {"48 kHz", "44.1 kHz"};
constexpr const char* kRateVariantWords[] = {"nominal", "+4%", "+0.1%", "-0.1%", "-4%"};
constexpr const char* kWordOutWords[] = {"x1",        "x2",        "x4",      "x256 Superclock",
                                         "x1 AES 11", "x2 AES 11", "Pilotton"};

const char* videoReferenceWords(const UnitValues&, int v) {
    return settingsEntryText(IDC_VIDEO_REF, v - 1);
}
const char* sdWords(const UnitValues&, int v) {
    return settingsEntryText(IDC_SD_STANDARD, v - 1);
}
const char* hdWords(const UnitValues&, int code) {
    return hdCodeHasEntry(code) ? settingsEntryText(IDC_HD_STANDARD, hdIndexOfCode(code)) : nullptr;
}
const char* outputWords(const UnitValues&, int v) {
    return pick(kOutputWords, v - 1);
}
const char* onOffWords(const UnitValues&, int v) {
    return pick(kOnOffWords, v);
}
// The entry of list 247: the mode with the word clock or LTC rate it goes with.
const char* audioWords(const UnitValues& values, int v) {
    const auto& p = values.parameter;
    auto oneOrTwo = [](int n) { return n == 1 || n == 2; };
    switch (v) {
    case 1: return settingsEntryText(IDC_AUDIO_REF, 0);
    case 2:
        if (!oneOrTwo(p[10]) || !oneOrTwo(p[11]) || !oneOrTwo(p[12])) return nullptr;
        return settingsEntryText(IDC_AUDIO_REF, p[12] + 2 * p[10] + 4 * p[11] - 6);
    case 3: return settingsEntryText(IDC_AUDIO_REF, 9);
    case 4: return p[13] >= 1 && p[13] <= 5 ? settingsEntryText(IDC_AUDIO_REF, p[13] + 9) : nullptr;
    default: return nullptr;
    }
}
const char* wordFamilyWords(const UnitValues&, int v) {
    return pick(kWordFamilyWords, v - 1);
}
const char* wordSpeedWords(const UnitValues&, int v) {
    return pick(kWordSpeedWords, v - 1);
}
const char* pullDownWords(const UnitValues&, int v) {
    return pick(kPullDownWords, v - 1);
}
const char* ltcRateWords(const UnitValues&, int v) {
    return pick(kLtcRateWords, v - 1);
}
const char* rateFamilyWords(const UnitValues&, int v) {
    return pick(kRateFamilyWords, v - 1);
}
const char* rateVariantWords(const UnitValues&, int v) {
    return pick(kRateVariantWords, v - 1);
}
const char* wordOutWords(const UnitValues&, int v) {
    return pick(kWordOutWords, v - 1);
}
const char* ntscBlackWords(const UnitValues&, int v) {
    return settingsEntryText(IDC_NTSC_BLACK, v);
}
const char* extLockWords(const UnitValues&, int v) {
    return settingsEntryText(IDC_EXT_LOCK, v);
}

constexpr const char* kSettings = "settings";
constexpr const char* kCalibration = "calibration";

// In the file's order.
constexpr Key kKeys[] = {
    {kSettings, "video_reference", "Video reference", KeyKind::Parameter, 1, 1, 4, videoReferenceWords},
    {kSettings, "sd_standard", "SD standard", KeyKind::Parameter, 2, 1, 5, sdWords},
    {kSettings, "hd_standard", "HD standard", KeyKind::HdCode, 3, 0, 24, hdWords},
    {kSettings, "video_out_1_3", "Video out 1-3", KeyKind::Parameter, 5, 1, 2, outputWords},
    {kSettings, "video_out_4", "Video out 4", KeyKind::Parameter, 6, 1, 2, outputWords},
    {kSettings, "video_out_5", "Video out 5", KeyKind::Parameter, 7, 1, 2, outputWords},
    {kSettings, "video_out_6", "Video out 6", KeyKind::Parameter, 8, 1, 2, outputWords},
    {kSettings, "black_dolby", "Black Dolby", KeyKind::Parameter, 24, 0, 1, onOffWords},
    {kSettings, "audio_reference", "Audio reference", KeyKind::Parameter, 9, 1, 4, audioWords},
    {kSettings, "ext_word_family", "Ext. word family", KeyKind::Parameter, 10, 1, 2, wordFamilyWords},
    {kSettings, "ext_word_speed", "Ext. word speed", KeyKind::Parameter, 11, 1, 2, wordSpeedWords},
    {kSettings, "ext_word_pulldown", "Ext. word pull-down", KeyKind::Parameter, 12, 1, 2, pullDownWords},
    {kSettings, "ltc_rate", "LTC rate", KeyKind::Parameter, 13, 1, 5, ltcRateWords},
    {kSettings, "sample_rate_family", "Sample rate family", KeyKind::Parameter, 14, 1, 2, rateFamilyWords},
    {kSettings, "sample_rate_variant", "Sample rate variant", KeyKind::Parameter, 15, 1, 5, rateVariantWords},
    {kSettings, "word_out_1_6", "Word out 1-6", KeyKind::Parameter, 16, 1, 3, wordOutWords},
    {kSettings, "word_out_7_8", "Word out 7-8", KeyKind::Parameter, 17, 1, 7, wordOutWords},
    {kSettings, "aes_out", "AES out", KeyKind::Parameter, 18, 1, 2, wordOutWords},
    {kSettings, "spdif_out", "SPDIF out", KeyKind::Parameter, 19, 1, 2, wordOutWords},
    {kSettings, "ntsc_black", "NTSC black", KeyKind::Parameter, 25, 0, 1, ntscBlackWords},
    {kSettings, "ext_video_lock", "Ext. video lock", KeyKind::Parameter, 26, 0, 1, extLockWords},
    {kSettings, "config_protect", "Configuration protect", KeyKind::Protect, 0, 0, 1, onOffWords},
    {kCalibration, "subcarrier_phase", "Subcarrier phase", KeyKind::Calibration, 0, -128, 127, nullptr},
    {kCalibration, "h_phase_offset", "H-phase offset", KeyKind::Calibration, 1, -128, 127, nullptr},
    {kCalibration, "user_calibration_offset", "User calibration offset", KeyKind::Calibration, 2, -128, 127,
     nullptr},
};

constexpr const char* kUnitKeys[] = {"serial", "firmware", "panel", "date"};
constexpr const char* kProfileKeys[] = {"profile_1", "profile_2", "profile_3", "profile_4"};
constexpr const char* kSections[] = {"unit", kSettings, kCalibration, "profiles"};

int hdCode(int group, int rate) {
    return group >= 1 && group <= 5 && rate >= 1 && rate <= 5 ? (group - 1) * 5 + rate - 1 : -1;
}

int valueOf(const Key& key, const UnitValues& values) {
    switch (key.kind) {
    case KeyKind::Parameter: return values.parameter[key.number];
    case KeyKind::HdCode: return hdCode(values.parameter[3], values.parameter[4]);
    case KeyKind::Protect: return values.configProtect;
    case KeyKind::Calibration: return values.calibration[key.number];
    }
    return 0;
}

void setValue(const Key& key, UnitValues& values, int value) {
    switch (key.kind) {
    case KeyKind::Parameter: values.parameter[key.number] = static_cast<uint8_t>(value); break;
    case KeyKind::HdCode:
        values.parameter[3] = static_cast<uint8_t>(value / 5 + 1);
        values.parameter[4] = static_cast<uint8_t>(value % 5 + 1);
        break;
    case KeyKind::Protect: values.configProtect = static_cast<uint8_t>(value); break;
    case KeyKind::Calibration: values.calibration[key.number] = static_cast<int8_t>(value); break;
    }
}

// The value in words where a list names it (without the blank some entries
// end with), else the number.
void describeValue(const Key& key, const UnitValues& values, char* text, std::size_t size) {
    int value = valueOf(key, values);
    const char* words = key.words ? key.words(values, value) : nullptr;
    if (!words) {
        std::snprintf(text, size, "%d", value);
        return;
    }
    int length = static_cast<int>(std::strlen(words));
    while (length > 0 && words[length - 1] == ' ')
        --length;
    std::snprintf(text, size, "%.*s", length, words);
}

const char* keyOfParameter(uint8_t parameter) {
    for (const Key& key : kKeys)
        if ((key.kind == KeyKind::Parameter && key.number == parameter) ||
            (key.kind == KeyKind::HdCode && (parameter == 3 || parameter == 4)))
            return key.name;
    return "";
}

// Appends to text as snprintf would at its end; the text stays terminated.
void append(char* text, std::size_t size, const char* format, const char* a, const char* b = "",
            const char* c = "") {
    std::size_t used = std::strlen(text);
    if (used + 1 < size) std::snprintf(text + used, size - used, format, a, b, c);
}

// ---- The file ----

constexpr const char* kFileHeader =
    "; zembrax HD unit configuration, saved by the zembrax HD control panel.\r\n"
    "; \"Restore unit configuration...\" in the panel's system menu puts back the\r\n"
    "; values of [settings] and [calibration]: each is the number the unit uses,\r\n"
    "; and the words after a semicolon name it as the panel's lists do.\r\n"
    "; The names in [profiles] are kept for reference only and are not restored:\r\n"
    "; storing a name stores the unit's current settings into that profile.\r\n";

// Marks a key the file does not have (GetPrivateProfileString's default).
constexpr const char* kMissing = "\x01";
constexpr std::size_t kValueSize = 128;
constexpr std::size_t kSectionSize = 8192;

DWORD lastError() {
    DWORD error = GetLastError();
    return error ? error : ERROR_WRITE_FAULT;
}

DWORD writeHeader(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastError();
    DWORD length = static_cast<DWORD>(std::strlen(kFileHeader));
    DWORD written = 0;
    DWORD error =
        WriteFile(file, kFileHeader, length, &written, nullptr) && written == length ? 0 : lastError();
    if (!CloseHandle(file) && !error) error = lastError();
    return error;
}

DWORD writeKey(const char* path, const char* section, const char* key, const char* value) {
    return WritePrivateProfileStringA(section, key, value, path) ? 0 : lastError();
}

DWORD writeSections(const char* path) {
    char value[kValueSize];
    std::snprintf(value, sizeof value, "%04d", panel.serialNumber);
    DWORD error = writeKey(path, "unit", "serial", value);
    std::snprintf(value, sizeof value, "%04d", panel.firmwareVersion);
    if (!error) error = writeKey(path, "unit", "firmware", value);
    if (!error) error = writeKey(path, "unit", "panel", ZEMBRAX_VERSION);
    const SYSTEMTIME& now = readLocalTime();
    std::snprintf(value, sizeof value, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    if (!error) error = writeKey(path, "unit", "date", value);

    for (const Key& key : kKeys) {
        if (error) break;
        char words[kValueSize];
        describeValue(key, panel.unitValues, words, sizeof words);
        int number = valueOf(key, panel.unitValues);
        if (key.words && key.words(panel.unitValues, number))
            std::snprintf(value, sizeof value, "%d ; %s", number, words);
        else
            std::snprintf(value, sizeof value, "%d", number);
        error = writeKey(path, key.section, key.name, value);
    }

    for (int slot = 0; slot < 4 && !error; ++slot) {
        // A character that would break the line is written as '?'.
        std::snprintf(value, sizeof value, "%s", panel.profileNames[slot]);
        for (char* c = value; *c; ++c)
            if (static_cast<unsigned char>(*c) < 0x20) *c = '?';
        error = writeKey(path, "profiles", kProfileKeys[slot], value);
    }
    return error;
}

// A value of the file: an optional minus, digits, then nothing but blanks and
// a comment after a semicolon.
bool readNumber(const char* text, int& value) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    int number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > 99999) return false;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p && *p != ';') return false;
    value = negative ? -number : number;
    return true;
}

// Reads a key; false when the file does not have it.
bool readKey(const char* path, const char* section, const char* key, char (&value)[kValueSize]) {
    GetPrivateProfileStringA(section, key, kMissing, value, kValueSize, path);
    return std::strcmp(value, kMissing) != 0;
}

bool isKnownKey(const char* section, const char* name) {
    for (const Key& key : kKeys)
        if (lstrcmpiA(section, key.section) == 0 && lstrcmpiA(name, key.name) == 0) return true;
    std::span<const char* const> others;
    if (lstrcmpiA(section, "unit") == 0) others = kUnitKeys;
    if (lstrcmpiA(section, "profiles") == 0) others = kProfileKeys;
    for (const char* other : others)
        if (lstrcmpiA(name, other) == 0) return true;
    return false;
}

bool refuse(char* problem, std::size_t size, const char* section, const char* key, const char* reason) {
    std::snprintf(problem, size, "[%s] %s: %s", section, key, reason);
    return false;
}

// False, with the problem, when the section has a key the panel does not know.
bool onlyKnownKeys(const char* path, const char* section, char* problem, std::size_t size) {
    char lines[kSectionSize];
    DWORD length = GetPrivateProfileSectionA(section, lines, sizeof lines, path);
    if (length >= sizeof lines - 2) {
        std::snprintf(problem, size, "[%s]: too many lines", section);
        return false;
    }
    for (const char* line = lines; *line; line += std::strlen(line) + 1) {
        char key[kValueSize];
        std::snprintf(key, sizeof key, "%s", line);
        if (char* equals = std::strchr(key, '=')) *equals = 0;
        int end = static_cast<int>(std::strlen(key));
        while (end > 0 && (key[end - 1] == ' ' || key[end - 1] == '\t'))
            key[--end] = 0;
        if (key[0] != 0 && key[0] != ';' && !isKnownKey(section, key))
            return refuse(problem, size, section, key, "unknown key");
    }
    return true;
}

bool checkFile(const char* path, UnitValues& values, int& serial, char* problem, std::size_t size) {
    char names[1024];
    GetPrivateProfileSectionNamesA(names, sizeof names, path);
    for (const char* name = names; *name; name += std::strlen(name) + 1) {
        bool known = false;
        for (const char* section : kSections)
            known = known || lstrcmpiA(name, section) == 0;
        if (!known) {
            std::snprintf(problem, size, "[%s]: unknown section", name);
            return false;
        }
    }

    char value[kValueSize];
    char reason[kValueSize + 64];
    for (const char* key : kUnitKeys)
        if (!readKey(path, "unit", key, value)) return refuse(problem, size, "unit", key, "missing");
    if (!readKey(path, "unit", "serial", value) || !readNumber(value, serial) || serial < 0 ||
        serial > 9999) {
        std::snprintf(reason, sizeof reason, "\"%s\" is not a serial number", value);
        return refuse(problem, size, "unit", "serial", reason);
    }

    values = UnitValues{};
    for (const Key& key : kKeys) {
        if (!readKey(path, key.section, key.name, value))
            return refuse(problem, size, key.section, key.name, "missing");
        int number = 0;
        if (!readNumber(value, number)) {
            std::snprintf(reason, sizeof reason, "\"%s\" is not a number", value);
            return refuse(problem, size, key.section, key.name, reason);
        }
        if (number < key.lowest || number > key.highest) {
            std::snprintf(reason, sizeof reason, "%d is outside %d to %d", number, key.lowest, key.highest);
            return refuse(problem, size, key.section, key.name, reason);
        }
        if (key.kind == KeyKind::HdCode && !hdCodeHasEntry(number)) {
            std::snprintf(reason, sizeof reason, "HD code %d has no entry", number);
            return refuse(problem, size, key.section, key.name, reason);
        }
        setValue(key, values, number);
    }

    for (const char* key : kProfileKeys) {
        if (!readKey(path, "profiles", key, value)) return refuse(problem, size, "profiles", key, "missing");
        if (std::strlen(value) > 12)
            return refuse(problem, size, "profiles", key, "longer than 12 characters");
    }

    for (const char* section : kSections)
        if (!onlyKnownKeys(path, section, problem, size)) return false;
    return true;
}

// ---- The restore's messages ----

// The parameters of one change as its list sends them: every companion that
// differs in command 0x42, then, when anything of the group differs, the
// parameter that ends the change in command 0x44 (0: none).
struct Group {
    uint8_t companions[4]; // 0 ends the list
    uint8_t closer;
};

// The audio reference first: the unit takes a video reference only while it
// does not follow an external word clock. Then by parameter number.
constexpr Group kGroups[] = {
    {{10, 11, 12, 13}, 9},
    {{}, 1},
    {{}, 2},
    {{4}, 3},
    {{}, 5},
    {{}, 6},
    {{}, 7},
    {{24}, 8},
    {{15}, 14},
    {{}, 16},
    {{}, 17},
    {{}, 18},
    {{}, 19},
    {{25}, 0},
    {{26}, 0},
};

bool sendValue(RestoreResult& result, SendResult sent, const char* key) {
    if (sent != SendResult::Sent) {
        result.stopped = sent;
        result.key = key;
        return false;
    }
    ++result.written;
    return true;
}

bool sendGroup(RestoreResult& result, const Group& group, const UnitValues& unit, const UnitValues& file) {
    auto differs = [&](uint8_t p) { return p != 0 && unit.parameter[p] != file.parameter[p]; };
    bool changed = differs(group.closer);
    for (uint8_t p : group.companions)
        changed = changed || differs(p);
    if (!changed) return true;
    for (uint8_t p : group.companions) {
        if (differs(p) &&
            !sendValue(result, sendParameter(Msg::SetCompanion, p, file.parameter[p]), keyOfParameter(p)))
            return false;
    }
    if (group.closer == 0) return true;
    return sendValue(result, sendParameter(Msg::SetParameter, group.closer, file.parameter[group.closer]),
                     keyOfParameter(group.closer));
}

// Set, then store: commands 0x58 and 0x5A, as the calibration page and
// CONFIG. PROTECT send them.
bool sendItem(RestoreResult& result, uint8_t item, int unit, int file, const char* key) {
    if (unit == file) return true;
    auto value = static_cast<uint8_t>(file);
    SendResult sent = sendItemValue(Msg::SetValue, item, value);
    if (sent == SendResult::Sent) sent = sendItemValue(Msg::StoreValue, item, value);
    return sendValue(result, sent, key);
}

} // namespace

void startConfigTransfer(ConfigTask task) {
    panel.configTask = task;
    panel.configStep = 0;
    panel.configAwaited = kAllReports;
    panel.configStart = GetTickCount();
    panel.configRequest = SendResult::Sent;
    startTimer(kTimerConfiguration, kConfigTickMs);
}

ConfigWait configTick() {
    if (panel.configTask == ConfigTask::Idle) {
        KillTimer(panel.window, kTimerConfiguration);
        return ConfigWait::GoesOn;
    }
    if (!operableUnitConnected()) {
        panel.configRequest = SendResult::NotConnected;
        return endWait(ConfigWait::NotSent);
    }
    if (panel.configStep < kReportCount) {
        SendResult asked = request(panel.configStep);
        if (asked != SendResult::Sent) {
            panel.configRequest = asked;
            return endWait(ConfigWait::NotSent);
        }
        ++panel.configStep;
    }
    if (panel.configStep == kReportCount && panel.configAwaited == 0) return endWait(ConfigWait::Complete);
    if (GetTickCount() - panel.configStart >= kConfigWaitMs) return endWait(ConfigWait::Missing);
    return ConfigWait::GoesOn;
}

void describeMissingReports(char* text, std::size_t size) {
    if (size > 0) text[0] = 0;
    for (int bit = 0; bit < kReportCount; ++bit)
        if (panel.configAwaited & (1u << bit))
            append(text, size, "%s%s", text[0] ? ", " : "", kReportNames[bit]);
}

void noteSettingsReport(const uint8_t* b, std::size_t count) {
    if (count < kSettingsReportLength) return;
    UnitValues& values = panel.unitValues;
    for (int p = 1; p <= 19; ++p)
        values.parameter[p] = b[5 + p];
    values.parameter[24] = (b[5] >> 4) & 1;
    values.parameter[25] = (b[5] >> 2) & 1;
    values.parameter[26] = (b[5] >> 3) & 1;
    values.configProtect = (b[5] >> 5) & 1;
    arrived(kSettingsBit);
}

void noteProfileNameReport(int slot, std::size_t count) {
    if (count >= kProfileNameReportLength && slot >= 0 && slot < 4) arrived(slot);
}

void noteCalibrationReport(const uint8_t* b, std::size_t count) {
    if (count < kCalibrationReportLength) return;
    for (int i = 0; i < 3; ++i) {
        if (b[5] != kCalibrationItems[i]) continue;
        // As the calibration page reads it.
        panel.unitValues.calibration[i] =
            static_cast<int8_t>(static_cast<uint8_t>(b[6] * 16 + (b[7] & 0x0F)));
        arrived(kFirstCalibrationBit + i);
    }
}

unsigned long writeConfigFile(const char* path) {
    // A file of its own beside the target, moved over it when it is whole.
    char folder[MAX_PATH];
    std::snprintf(folder, sizeof folder, "%s", path);
    char* slash = std::strrchr(folder, '\\');
    if (char* other = std::strrchr(folder, '/'); other > slash) slash = other;
    if (slash)
        slash[1] = 0;
    else
        std::snprintf(folder, sizeof folder, ".");
    char temporary[MAX_PATH];
    if (!GetTempFileNameA(folder, "zbx", 0, temporary)) return lastError();
    DWORD error = writeHeader(temporary);
    if (!error) error = writeSections(temporary);
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, temporary); // flushed and forgotten
    if (!error && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = lastError();
    if (error) DeleteFileA(temporary);
    return error;
}

bool readConfigFile(const char* path, UnitValues& values, int& serial, char* problem, std::size_t size) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        char reason[160];
        describeError(GetLastError(), reason, sizeof reason);
        std::snprintf(problem, size, "the file cannot be read: %s", reason);
        return false;
    }
    CloseHandle(file);
    bool accepted = checkFile(path, values, serial, problem, size);
    // The profile functions may keep the file cached; the next read must see it anew.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path);
    return accepted;
}

int describeDifferences(const UnitValues& unit, const UnitValues& file, char* text, std::size_t size) {
    if (size > 0) text[0] = 0;
    int count = 0;
    for (const Key& key : kKeys) {
        if (valueOf(key, unit) == valueOf(key, file)) continue;
        if (++count > kShownDifferences) continue;
        char before[kValueSize], after[kValueSize];
        describeValue(key, unit, before, sizeof before);
        describeValue(key, file, after, sizeof after);
        append(text, size, count > 1 ? "\n%s: %s -> %s" : "%s: %s -> %s", key.label, before, after);
    }
    if (count > kShownDifferences) {
        char more[32];
        std::snprintf(more, sizeof more, "%d", count - kShownDifferences);
        append(text, size, "\nand %s more", more);
    }
    return count;
}

int listDifferentKeys(const UnitValues& unit, const UnitValues& file, char* text, std::size_t size) {
    if (size > 0) text[0] = 0;
    int count = 0;
    for (const Key& key : kKeys)
        if (valueOf(key, unit) != valueOf(key, file))
            append(text, size, "%s%s", count++ ? ", " : "", key.name);
    return count;
}

RestoreResult writeDifferences(const UnitValues& unit, const UnitValues& file) {
    RestoreResult result{0, SendResult::Sent, nullptr};
    for (const Group& group : kGroups)
        if (!sendGroup(result, group, unit, file)) return result;
    for (const Key& key : kKeys)
        if (key.kind == KeyKind::Calibration &&
            !sendItem(result, kCalibrationItems[key.number], unit.calibration[key.number],
                      file.calibration[key.number], key.name))
            return result;
    // Configuration protect last; whether it went out is in the result as for every value.
    sendItem(result, kConfigProtectItem, unit.configProtect, file.configProtect, "config_protect");
    return result;
}
