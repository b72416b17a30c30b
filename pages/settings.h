// Settings page: the unit's video and audio settings in fifteen lists and the
// CONFIG. PROTECT check box.
#pragma once

#include <cstddef>
#include <cstdint>

// Shortest settings report: bytes 5 to 25 are read, the final F7 follows.
constexpr std::size_t kSettingsReportLength = 27;

// HD code ((group - 1) * 5 + rate position - 1) of an entry of list 242;
// codes 10, 11, 20 and 21 have no entry.
int hdCodeOfIndex(int index);
// The other direction: the list index of an HD code (a code without an entry
// gives the index of a neighbour).
int hdIndexOfCode(int code);

// Text of entry `index` of a static list (240, 241, 242, 247, 248, 255,
// 256); nullptr for another list or an index outside it.
const char* settingsEntryText(int id, int index);

// Appends the static entries to lists 240, 241, 255, 256, 242, 247 and 248.
void fillSettingsLists();

// WM_COMMAND from lists 240 to 252, 255, 256 (code: the notification).
void onSettingsSelection(int id, int code);

// WM_COMMAND from check box 183.
void onConfigProtect();

// Report 0x41.
void onSettingsReport(const uint8_t* bytes, std::size_t count);
