// MTC reader: quarter frames and full frames of the unit's time code, the
// check against the PC clock, and the watchdog that notices absent MTC.
#pragma once

#include <cstddef>
#include <cstdint>

// Shortest full frame: F0 7F 7F 01 01 hh mm ss ff F7.
constexpr std::size_t kFullFrameLength = 10;

// Watchdog value meaning "no MTC present".
constexpr uint8_t kMtcAbsent = 5;

// Data byte of one MTC quarter-frame message (status 0xF1).
void decodeQuarterFrame(uint8_t data);

// MTC full-frame message.
void showFullFrame(const uint8_t* bytes, std::size_t count);

// Timer 4, every 50 ms.
void mtcWatchdogTick();

// The reader's state that transport changes. The reader alone writes these
// fields of PanelState; transport asks through here.
// The rate labels: pulled down (23.98, 29.97 fps) or not.
void setPullDown(bool pulledDown);
// The next full frame names the generator's rate, not the reader's ("fo ...").
void requestRateText();
// Whether the unit's MTC comes from its LTC reader (MMC response).
void setLtcReaderMode(bool readerMode);
// A jam starts: the failed clock checks count from 0 again.
void resetClockErrors();
