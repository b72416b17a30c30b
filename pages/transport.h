// Transport and time sync: MMC locate, play, stop, jam to the LTC reader or
// the PC clock, and the PC clock display.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills the locate frame-rate list 143 and selects entry 1.
void fillLocateRateList();

// WM_COMMAND from 142, 143, 144, 145, 147, 150.
void onTransportCommand(int id, int code);

// MMC response F0 7F 00 07 46 01 ... (answer to MMC READ).
void onMmcResponse(const uint8_t* bytes, std::size_t count);

// Timer 5.
void clockTick();
