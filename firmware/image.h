// The firmware image carried in the program's resources (type "BINTYPE",
// name "FirmwareFile"): an 8-bit text of CR-terminated lines, a 32-character
// header line and then Intel HEX records, which the unit alone interprets.
// Beside it the build records which kind of image it carries (resource
// RCDATA "FirmwareKind"): none, the stand-in test image, or a given image.
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

// What a read through the whole image found wrong, if anything.
enum class ImageFault {
    None,
    TooLarge,       // as long as the search limit or longer
    Header,         // line 1 is not 32 printable characters starting "ZF", then CR
    Record,         // a record is not a well-formed Intel HEX line ended by CR
    NoEndRecord,    // the image ends before the end-of-file record ":00000001FF"
    AfterEndRecord, // something follows the end-of-file record and its CR
};

struct ImageCheck {
    ImageFault fault;
    int32_t record; // ImageFault::Record: the bad record, 1 for the line after the header
    int32_t lines;  // CR-terminated lines, header included, when the image is sound
};

// Reads the image through once: the header; every record's syntax (':' and
// upper-case hexadecimal digits), byte count, type (00 to 05, with the length
// its type needs) and checksum, each ended by a single CR; the end-of-file
// record last and nothing after it. A 0xFF byte or a line feed anywhere is a
// fault of the line that holds it.
ImageCheck checkFirmwareImage(std::span<const uint8_t> data);

enum class FirmwareKind { None, StandIn, Given, Unknown };

// The kind of image this build carries, from its "FirmwareKind" marker;
// Unknown when the marker is missing or malformed.
FirmwareKind readFirmwareKind();

// One line for the operator: "none", "stand-in test image, never to be sent
// to a real unit", the given image's 32-character header, or "unknown".
void describeFirmwareKind(char* out, std::size_t size);
