// User profiles: the four names, recall, and Save Profile.
#pragma once

#include <cstddef>
#include <cstdint>

// Shortest profile name report: F0 2C 5A 42 51 item, 24 nibbles, F7.
constexpr std::size_t kProfileNameReportLength = 31;

// Report 0x51 with a profile item code, for slot 0 to 3.
void onProfileNameReport(int slot, const uint8_t* bytes, std::size_t count);

// Bits 0 and 1 of byte 5 of the settings report: the current profile.
void onCurrentProfileReported(int profile);

// WM_COMMAND from 253 (list), 254 (name edit) and 224 (Save Profile).
void onProfileCommand(int id, int code);
