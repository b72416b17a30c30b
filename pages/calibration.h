// Calibration page: subcarrier phase, H-phase offset, user calibration offset,
// word-clock varispeed, and the service buttons Capture Tuning and Erase EEPROM.
#pragma once

#include <cstddef>
#include <cstdint>

// Text of static 179 while no varispeed is set.
constexpr const char* kVarispeedHint = "Enter word clock frequency\nin milli Hertz i.e. 48000533";

// WM_COMMAND from 157, 160, 162, 165, 177, 178, 181, 186, 188, 190, 191.
void onCalibrationCommand(int id, int code);

// Report 0x51 with item 0x40 (oscillator calibration words).
void onOscillatorReport(const uint8_t* bytes, std::size_t count);

// Report 0x57 (calibration value).
void onCalibrationReport(const uint8_t* bytes, std::size_t count);
