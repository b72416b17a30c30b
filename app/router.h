// Router: hands every message the unit sends to the part of the panel that
// owns it, and carries what happens to the link (identified, released, lost)
// up to the pages and the firmware update. The port layer below calls in here;
// the link layer itself knows nothing of pages or firmware.
#pragma once

#include <cstddef>
#include <cstdint>

// Every received SysEx buffer with at least one byte.
void dispatchSysEx(const uint8_t* bytes, std::size_t count);

// The data byte of an MTC quarter frame (short message with status 0xF1).
void dispatchQuarterFrame(uint8_t data);

// Button 222 Release (also posted by the firmware update).
void onReleaseCommand();

// Timer 1, the link poll.
void onPollTimer();
