// MTC reader: quarter frames and full frames of the unit's time code.
#pragma once

#include <cstddef>
#include <cstdint>

// Data byte of one MTC quarter-frame message (status 0xF1).
void decodeQuarterFrame(uint8_t data);

// MTC full-frame message F0 7F 7F 01 01 hh mm ss ff F7.
void showFullFrame(const uint8_t* bytes, std::size_t count);

// Timer 4, every 50 ms.
void mtcWatchdogTick();
