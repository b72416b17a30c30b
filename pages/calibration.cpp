// Calibration page: three signed 8-bit items set live on every change and
// stored on Save, the word-clock varispeed, the oscillator calibration words,
// and the service commands.
#include "calibration.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../link/connection.h"
#include "../link/message_table.h"

namespace {

struct Item {
    uint8_t code;
    int edit;
    int upDown;
    const char* savedText;
};

constexpr Item kSubcarrierPhase = {0x48, IDC_SC_PHASE, IDC_SC_PHASE_SPIN, "Saved Subcarrier Phase"};
constexpr Item kHPhaseOffset = {0x79, IDC_H_PHASE, IDC_H_PHASE_SPIN, "Saved H-Phase Offset"};
constexpr Item kUserOffset = {0x51, IDC_USER_CAL, IDC_USER_CAL_SPIN, "Saved User Calibration"};

// ppm per step of the user offset; units up to serial 1450 have the finer step.
constexpr int kFineStepLastSerial = 1450;
constexpr float kFineStep = 0.03125f;
constexpr float kCoarseStep = 0.0289f;
// Units above serial 1540 also have a TCXO word.
constexpr int kVcxoOnlyLastSerial = 1540;

const char* const kVarispeedHelp = "Use varispeed to generate non standard sample rates locked\n"
                                   "to the video reference. Asynchronously recorded audio files can\n"
                                   "be corrected by using inverse tuned playback sample rates.\n"
                                   "Enter an integer value from 40000000 to 52025000 mHz.\n"
                                   "Example:\n"
                                   "A 48 kHz audio file accumulates a 40ms (+1 frame) offset to a\n"
                                   "PAL 25 fps movie after one hour of playback (90000 frames).\n"
                                   "90001 frames / 90000 frames * 48000 Hz = 48000533 mHz\n"
                                   "A playback sample rate of 48000533 mHz will compensate a +1 frame\n"
                                   "audio drift at a duration of one hour.";

// The most text a single-line edit takes by typing.
constexpr int kEditTextLimit = 32767;

// The edit's text read as a signed decimal number (blanks, a sign, digits up
// to the first other character; no digits give 0) and reduced modulo 256,
// whatever its size: the value's low 8 bits.
uint8_t itemValue(const Item& item) {
    char text[kEditTextLimit + 1];
    text[0] = 0;
    GetDlgItemTextA(panel.window, item.edit, text, sizeof text);
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    uint8_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = static_cast<uint8_t>(value * 10 + (*p - '0')); // arithmetic modulo 256
    return negative ? static_cast<uint8_t>(0 - value) : value;
}

void showUserOffset(uint8_t value) {
    float step = panel.serialNumber <= kFineStepLastSerial ? kFineStep : kCoarseStep;
    double ppm = static_cast<int8_t>(value) * static_cast<double>(step);
    char text[64];
    std::snprintf(text, sizeof text, "user offset:  %.3f ppm", ppm);
    SetDlgItemTextA(panel.window, IDC_USER_CAL_TEXT, text);
}

void setLive(const Item& item) {
    uint8_t value = itemValue(item);
    if (item.code == kUserOffset.code) showUserOffset(value);
    sendItemValue(Msg::SetValue, item.code, value);
}

void store(const Item& item) {
    SendResult stored = sendItemValue(Msg::StoreValue, item.code, itemValue(item));
    logLine("%s%s", item.savedText, notSentNote(stored));
}

// Like atoi on at most 8 characters: blanks, a sign, digits up to the first other character.
int32_t readFrequency() {
    char text[9] = {};
    GetDlgItemTextA(panel.window, IDC_VARISPEED_FREQ, text, sizeof text);
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + (*p - '0'); // 8 digits at most: no overflow
    return negative ? -value : value;
}

void setVarispeed() {
    if (SendMessageA(control(IDC_AUDIO_REF), LB_GETCURSEL, 0, 0) != 0) {
        SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT,
                        "error: audio reference\nmust be set to Follow Video");
        return;
    }
    int32_t f = readFrequency();
    if (f < kVarispeedLowest || f > kVarispeedHighest) {
        SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT, "error: value must be\n> 40000000 and < 52025000");
        return;
    }
    auto q = static_cast<uint32_t>(kVarispeedConstant / f);
    char text[64];
    std::snprintf(text, sizeof text, "word clock running at\n%d mHz", f);
    SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT, text);
    encodeWide32(&message(Msg::VarispeedFrequency).bytes[5], q);
    sendMessage(Msg::VarispeedFrequency);
}

void releaseVarispeed() {
    SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT, kVarispeedHint);
    sendMessage(Msg::VarispeedRelease);
}

} // namespace

void onCalibrationCommand(int id, int code) {
    switch (id) {
    case IDC_SC_PHASE:
        if (code == EN_CHANGE) setLive(kSubcarrierPhase);
        break;
    case IDC_H_PHASE:
        if (code == EN_CHANGE) setLive(kHPhaseOffset);
        break;
    case IDC_USER_CAL:
        if (code == EN_CHANGE) setLive(kUserOffset);
        break;
    case IDC_SC_PHASE_SAVE: store(kSubcarrierPhase); break;
    case IDC_H_PHASE_SAVE: store(kHPhaseOffset); break;
    case IDC_USER_CAL_SAVE: store(kUserOffset); break;
    case IDC_VARISPEED: setVarispeed(); break;
    case IDC_VARISPEED_RELEASE: releaseVarispeed(); break;
    case IDC_VARISPEED_HELP:
        MessageBoxA(panel.window, kVarispeedHelp, "   Word Clock Varispeed", MB_OK);
        break;
    case IDC_CAPTURE_TUNING: {
        SendResult captured = sendMessage(Msg::CaptureTuning);
        captured = firstFailure(captured, sendWithItem(Msg::RequestItem, 0x40));
        logLine("Saved Tuning%s", notSentNote(captured));
        break;
    }
    case IDC_ERASE_EEPROM: logLine("EEPROM erased%s", notSentNote(sendMessage(Msg::EraseEeprom))); break;
    default: break;
    }
}

void refreshUserOffsetText() {
    showUserOffset(itemValue(kUserOffset));
}

void onOscillatorReport(const uint8_t* bytes, std::size_t count) {
    if (count < kOscillatorReportLength) return;
    uint32_t vcxo = decodeWide(bytes + 6, 2);
    uint32_t tcxo = decodeWide(bytes + 14, 4);
    char text[64];
    if (panel.serialNumber <= kVcxoOnlyLastSerial)
        std::snprintf(text, sizeof text, "VCXO calibration: 0x%04X", vcxo);
    else
        std::snprintf(text, sizeof text, "TCXO calibration: 0x%08X\nVCXO calibration: 0x%04X", tcxo, vcxo);
    SetDlgItemTextA(panel.window, IDC_OSC_WORDS, text);
}

void onCalibrationReport(const uint8_t* bytes, std::size_t count) {
    if (count < kCalibrationReportLength) return;
    auto value = static_cast<int8_t>(static_cast<uint8_t>(bytes[6] * 16 + (bytes[7] & 0x0F)));
    int upDown = 0;
    for (const Item* item : {&kSubcarrierPhase, &kHPhaseOffset, &kUserOffset})
        if (bytes[5] == item->code) upDown = item->upDown;
    if (upDown == 0) return;
    // The edit's text changes with the position, and its change handler sends the value back.
    SendMessageA(control(upDown), UDM_SETPOS, 0, MAKELPARAM(value, 0));
}
