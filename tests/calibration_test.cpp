// Calibration page against the simulated unit: the three items set live and
// stored, the reports that move the up-downs, the oscillator words, the
// varispeed, and the service buttons.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

Bytes setValue(uint8_t item, uint8_t value) {
    return {0xF0, 0x2C, 0x5A, 0x42, 0x58, item, uint8_t(value >> 4), uint8_t(value & 15), 0xF7};
}
Bytes storeValue(uint8_t item, uint8_t value) {
    return {0xF0, 0x2C, 0x5A, 0x42, 0x5A, item, uint8_t(value >> 4), uint8_t(value & 15), 0xF7};
}

class Calibration : public ConnectedPanel {
  protected:
    void type(int id, const char* text) {
        SetDlgItemTextA(window, id, text); // raises EN_CHANGE like typing
        pumpMessages();
    }
    std::string varispeed(const char* frequency) {
        SetDlgItemTextA(window, IDC_VARISPEED_FREQ, frequency);
        command(window, IDC_VARISPEED, BN_CLICKED);
        return controlText(window, IDC_VARISPEED_TEXT);
    }
};

TEST_F(Calibration, ItemsAreSetLiveAndStored) {
    type(IDC_SC_PHASE, "-5");
    type(IDC_H_PHASE, "200"); // reduced to 8 bits: 0xC8
    command(window, IDC_SC_PHASE_SAVE, BN_CLICKED);
    command(window, IDC_H_PHASE_SAVE, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{setValue(0x48, 0xFB), setValue(0x79, 0xC8), storeValue(0x48, 0xFB),
                                          storeValue(0x79, 0xC8)}));
    std::vector<std::string> lines = logLines(window);
    EXPECT_EQ(lines[lines.size() - 2], "2026.03.07 09:05:02 Saved Subcarrier Phase");
    EXPECT_EQ(lines.back(), "2026.03.07 09:05:02 Saved H-Phase Offset");
    deliver();
    EXPECT_EQ(simGetCalibration(0, 0x48, 1), 0xFB);
    EXPECT_EQ(simGetCalibration(0, 0x79, 0), 0xC8);
}

TEST_F(Calibration, TypingMinusFiveIntoAnEmptyEdit) {
    type(IDC_SC_PHASE, "");
    clearSent();
    type(IDC_SC_PHASE, "-");
    type(IDC_SC_PHASE, "-5");
    EXPECT_EQ(sent(), (std::vector<Bytes>{setValue(0x48, 0x00), setValue(0x48, 0xFB)}));
}

TEST_F(Calibration, TypedValuesAreReducedModulo256WhateverTheirSize) {
    const struct {
        const char* typed;
        uint8_t value;
    } cases[] = {
        {"200", 0xC8},         {"2147483848", 0xC8},                                  // 2^31 + 200
        {"4294967496", 0xC8},                                                         // 2^32 + 200
        {"-4294967496", 0x38}, {"1000000000000000000000000000000000000000200", 0xC8}, // 10^42 + 200
        {" +12x", 0x0C},       {"x12", 0x00},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.typed);
        clearSent();
        type(IDC_H_PHASE, c.typed);
        EXPECT_EQ(sent(), std::vector<Bytes>{setValue(0x79, c.value)});
    }
}

TEST_F(Calibration, UserOffsetTextByFactorOfTheSerialNumber) {
    struct {
        int serial;
        const char* value;
        const char* text;
    } cases[] = {
        {1450, "-128", "user offset:  -4.000 ppm"},
        {1451, "-128", "user offset:  -3.699 ppm"},
        {2000, "5", "user offset:  0.144 ppm"},
    };
    for (auto c : cases) {
        panel.serialNumber = c.serial;
        type(IDC_USER_CAL, c.value);
        EXPECT_EQ(controlText(window, IDC_USER_CAL_TEXT), c.text);
    }
    command(window, IDC_USER_CAL_SAVE, BN_CLICKED);
    EXPECT_EQ(sent().back(), storeValue(0x51, 5));
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved User Calibration");
}

TEST(CalibrationAtStart, UserOffsetShowsWithNothingSent) {
    HWND window = openPanel();
    EXPECT_EQ(controlText(window, IDC_USER_CAL), "127");
    EXPECT_EQ(controlText(window, IDC_USER_CAL_TEXT), "user offset:  3.969 ppm");
    EXPECT_TRUE(sent().empty());
    closePanel(window);
}

TEST(CalibrationAtStart, UserOffsetTextFollowsEachNewlyIdentifiedUnit) {
    HWND window = openPanel();
    const struct {
        const char* serial;
        const char* firmware;
        const char* text;
    } units[] = {
        {"1451", "0301", "user offset:  3.670 ppm"}, // 127 steps of 0.0289 ppm
        {"1450", "0300", "user offset:  3.969 ppm"}, // of 0.03125 ppm, also for a unit to update
        {"2000", "\x7F\x7F\x7F\x7F", "user offset:  3.670 ppm"},
    };
    for (auto u : units) {
        SCOPED_TRACE(u.serial);
        simSetIdentity(0, u.serial, u.firmware, 0x0A);
        connectAndIdentify(window);
        EXPECT_EQ(controlText(window, IDC_USER_CAL_TEXT), u.text);
    }
    closePanel(window);
}

TEST_F(Calibration, ReportsMoveTheUpDownsAndEchoTheValue) {
    receive({0xF0, 0x2C, 0x5A, 0x42, 0x57, 0x79, 0x0F, 0x0F, 0xF7});
    EXPECT_EQ(static_cast<short>(SendDlgItemMessageA(window, IDC_H_PHASE_SPIN, UDM_GETPOS, 0, 0)), -1);
    EXPECT_EQ(controlText(window, IDC_H_PHASE), "-1");
    EXPECT_EQ(sent(), std::vector<Bytes>{setValue(0x79, 0xFF)});
    clearSent();
    receive({0xF0, 0x2C, 0x5A, 0x42, 0x57, 0x48, 0x01, 0x12, 0xF7}); // low byte masked to 4 bits: 0x12
    EXPECT_EQ(controlText(window, IDC_SC_PHASE), "18");
    receive({0xF0, 0x2C, 0x5A, 0x42, 0x57, 0x33, 0x01, 0x01, 0xF7}); // unknown item
    receive({0xF0, 0x2C, 0x5A, 0x42, 0x57, 0x48, 0x02, 0xF7});       // 8 bytes: ignored
    EXPECT_EQ(controlText(window, IDC_SC_PHASE), "18");
}

TEST_F(Calibration, OscillatorWordsBySerialNumber) {
    Bytes report = {0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x40, 0x01, 0x02, 0x03, 0x04, 0,   0,
                    0,    0,    0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x0A, 0x00, 0xF7};
    panel.serialNumber = 1540;
    receive(report);
    EXPECT_EQ(controlText(window, IDC_OSC_WORDS), "VCXO calibration: 0x1234");
    panel.serialNumber = 1541;
    receive(report);
    EXPECT_EQ(controlText(window, IDC_OSC_WORDS), "TCXO calibration: 0x000186A0\nVCXO calibration: 0x1234");
    report.erase(report.end() - 2); // 22 bytes: ignored
    panel.serialNumber = 1540;
    receive(report);
    EXPECT_EQ(controlText(window, IDC_OSC_WORDS), "TCXO calibration: 0x000186A0\nVCXO calibration: 0x1234");
}

TEST_F(Calibration, VarispeedFrequencies) {
    EXPECT_EQ(varispeed("48000533"), "word clock running at\n48000533 mHz");
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x5C, 0x02, 0x0B, 0x0F, 0x01, 0x0E, 0x00,
                                           0x00, 0x05, 0xF7}}));
    const struct {
        const char* typed;
        const char* text;
        bool sends;
    } cases[] = {
        {"40000000", "word clock running at\n40000000 mHz", true},
        {"52025000", "word clock running at\n52025000 mHz", true},
        {"39999999", "error: value must be\n> 40000000 and < 52025000", false},
        {"52025001", "error: value must be\n> 40000000 and < 52025000", false},
        {"", "error: value must be\n> 40000000 and < 52025000", false},
        {" +4800000", "error: value must be\n> 40000000 and < 52025000", false},
        {"4800000x", "error: value must be\n> 40000000 and < 52025000", false},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.typed);
        clearSent();
        EXPECT_EQ(varispeed(c.typed), c.text);
        EXPECT_EQ(sent().size(), c.sends ? 1u : 0u);
    }
}

TEST_F(Calibration, VarispeedNeedsFollowVideo) {
    SendDlgItemMessageA(window, IDC_AUDIO_REF, LB_SETCURSEL, 3, 0);
    EXPECT_EQ(varispeed("48000533"), "error: audio reference\nmust be set to Follow Video");
    SendDlgItemMessageA(window, IDC_AUDIO_REF, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    EXPECT_EQ(varispeed("48000533"), "error: audio reference\nmust be set to Follow Video");
    EXPECT_TRUE(sent().empty());
}

TEST_F(Calibration, TheUnitRunsAtTheTypedFrequency) {
    SendDlgItemMessageA(window, IDC_AUDIO_REF, LB_SETCURSEL, 0, 0);
    for (int32_t f = 40'000'000; f <= 52'025'000; f += 601'250) {
        std::string typed = std::to_string(f);
        varispeed(typed.c_str());
        deliver();
        int64_t running = simGetWordClockMilliHertz(0);
        EXPECT_LE(running - f, 1) << f;
        EXPECT_GE(running - f, -1) << f;
    }
    command(window, IDC_VARISPEED_RELEASE, BN_CLICKED);
    EXPECT_EQ(controlText(window, IDC_VARISPEED_TEXT),
              "Enter word clock frequency\nin milli Hertz i.e. 48000533");
    deliver();
    EXPECT_EQ(simGetWordClockMilliHertz(0), 0);
    EXPECT_EQ(simGetFlags(0) & 0x40, 0);
}

TEST(ServiceButtons, CaptureTuningAndEraseEeprom) {
    HWND window = openPanel("-C -E");
    connectAndIdentify(window);
    runRequestSequence(window);
    clearSent();
    command(window, IDC_CAPTURE_TUNING, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x20, 0xF7},
                                          {0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x40, 0xF7}}));
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 Saved Tuning");
    deliver(); // the captured calibration words come back and are shown
    uint16_t vcxo = 0;
    uint32_t tcxo = 0;
    simGetOscillatorWords(0, &vcxo, &tcxo);
    char expected[64];
    snprintf(expected, sizeof expected, "VCXO calibration: 0x%04X", vcxo); // serial 1234: VCXO only
    EXPECT_EQ(controlText(window, IDC_OSC_WORDS), expected);

    SetDlgItemTextA(window, IDC_SC_PHASE, "9");
    command(window, IDC_SC_PHASE_SAVE, BN_CLICKED);
    deliver();
    ASSERT_EQ(simGetCalibration(0, 0x48, 1), 9);
    clearSent();
    command(window, IDC_ERASE_EEPROM, BN_CLICKED);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0xF0, 0x2C, 0x5A, 0x42, 0x22, 0x45, 0x52, 0xF7}}));
    EXPECT_EQ(logLines(window).back(), "2026.03.07 09:05:02 EEPROM erased");
    deliver();
    EXPECT_NE(simGetCalibration(0, 0x48, 1), 9); // stored values back to the factory's
    closePanel(window);
}

TEST(ServiceButtons, WithoutOutputTheLogSaysNothingWasSent) {
    HWND window = openPanel("-C -E");
    const struct {
        int button;
        const char* line;
    } actions[] = {
        {IDC_SC_PHASE_SAVE, "Saved Subcarrier Phase"}, {IDC_H_PHASE_SAVE, "Saved H-Phase Offset"},
        {IDC_USER_CAL_SAVE, "Saved User Calibration"}, {IDC_CAPTURE_TUNING, "Saved Tuning"},
        {IDC_ERASE_EEPROM, "EEPROM erased"},
    };
    for (bool released : {false, true}) { // never connected, and after Release
        if (released) {
            connectAndIdentify(window);
            command(window, IDC_RELEASE, BN_CLICKED);
        }
        clearSent();
        for (auto a : actions) {
            SCOPED_TRACE(a.line);
            command(window, a.button, BN_CLICKED);
            EXPECT_EQ(logLines(window).back(),
                      std::string("2026.03.07 09:05:02 ") + a.line + " not sent: zembrax HD not connected");
        }
        EXPECT_TRUE(sent().empty());
    }
    closePanel(window);
}

TEST(CalibrationRoundTrip, StoredValuesComeBackAfterReconnecting) {
    HWND window = openPanel();
    connectAndIdentify(window);
    runRequestSequence(window);
    SetDlgItemTextA(window, IDC_SC_PHASE, "-7");
    SetDlgItemTextA(window, IDC_H_PHASE, "12");
    SetDlgItemTextA(window, IDC_USER_CAL, "-30");
    for (int id : {IDC_SC_PHASE_SAVE, IDC_H_PHASE_SAVE, IDC_USER_CAL_SAVE})
        command(window, id, BN_CLICKED);
    deliver();
    command(window, IDC_RELEASE, BN_CLICKED);
    SetDlgItemTextA(window, IDC_SC_PHASE, "0");
    SetDlgItemTextA(window, IDC_H_PHASE, "0");
    SetDlgItemTextA(window, IDC_USER_CAL, "0");
    connectAndIdentify(window);
    runRequestSequence(window);
    EXPECT_EQ(controlText(window, IDC_SC_PHASE), "-7");
    EXPECT_EQ(controlText(window, IDC_H_PHASE), "12");
    EXPECT_EQ(controlText(window, IDC_USER_CAL), "-30");
    closePanel(window);
}

} // namespace
