// Calibration page: subcarrier phase, H-phase offset, user calibration offset,
// word-clock varispeed, and the service buttons Capture Tuning and Erase EEPROM.
#pragma once

#include <cstddef>
#include <cstdint>

// Shortest reports read here, the final F7 counted.
constexpr std::size_t kCalibrationReportLength = 9; // F0 2C 5A 42 57 item hi lo F7
constexpr std::size_t kOscillatorReportLength = 23; // bytes 6 to 21 are read

// Varispeed: the unit divides this by the frequency in millihertz.
constexpr int64_t kVarispeedConstant = 35'389'440'000'000'000;
constexpr int32_t kVarispeedLowest = 40'000'000;
constexpr int32_t kVarispeedHighest = 52'025'000;

// WM_COMMAND from 157, 160, 162, 165, 177, 178, 181, 186, 188, 190, 191.
void onCalibrationCommand(int id, int code);

// Text 189 anew from edit 186, with the factor of the serial number now
// known (after an identification). Sends nothing.
void refreshUserOffsetText();

// Report 0x51 with item 0x40 (oscillator calibration words).
void onOscillatorReport(const uint8_t* bytes, std::size_t count);

// Report 0x57 (calibration value).
void onCalibrationReport(const uint8_t* bytes, std::size_t count);
