// User profiles: the four names, recall, and Save Profile.
#pragma once

#include <cstddef>
#include <cstdint>

// Report 0x51 with a profile item code, for slot 0 to 3.
void onProfileNameReport(int slot, const uint8_t* bytes, std::size_t count);

// WM_COMMAND from 253 (list), 254 (name edit) and 224 (Save Profile).
void onProfileCommand(int id, int code);
