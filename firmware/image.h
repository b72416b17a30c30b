// The firmware image carried in the program's resources (type "BINTYPE",
// name "FirmwareFile"): an 8-bit text of CR-terminated lines, a 32-character
// header line and then Intel HEX records, which the unit alone interprets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr uint8_t kCarriageReturn = 0x0D;
constexpr std::size_t kImageHeaderLength = 32;
// The search for the image's end examines at most this many bytes.
constexpr std::size_t kImageSearchLimit = 0xFFFFF;

// Loads the image from the program's resources into PanelState (once; kept
// until releaseFirmwareImage). False when it is missing or empty.
bool openFirmwareImage();

// Where the image ends: at its first 0xFF byte or at the end of the data,
// examining at most kImageSearchLimit bytes.
std::size_t findImageEnd(std::span<const uint8_t> data);

// CR bytes before the end of the image, the header's included.
int32_t countImageLines(std::span<const uint8_t> data);
