// Firmware image: open the resource, find its end, count its lines, check it
// through, and read the build's marker of which image it carries.
#include "image.h"

#include <cstdio>
#include <cstring>

#include "../core/panel.h"

bool openFirmwareImage() {
    if (!panel.firmwareResource) {
        HRSRC found = FindResourceA(panel.instance, "FirmwareFile", "BINTYPE");
        if (!found) return false;
        HGLOBAL loaded = LoadResource(panel.instance, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data) return false;
        panel.firmwareResource = loaded;
        panel.firmwareImage = static_cast<const uint8_t*>(data);
        panel.firmwareSize = SizeofResource(panel.instance, found);
    }
    std::span<const uint8_t> data(panel.firmwareImage, panel.firmwareSize);
    panel.imageEnd = findImageEnd(data);
    return panel.firmwareSize > 0;
}

std::size_t findImageEnd(std::span<const uint8_t> data) {
    std::size_t limit = data.size() < kImageSearchLimit ? data.size() : kImageSearchLimit;
    for (std::size_t i = 0; i < limit; ++i)
        if (data[i] == 0xFF) return i;
    return limit;
}

int32_t countImageLines(std::span<const uint8_t> data) {
    int32_t lines = 0;
    std::size_t end = findImageEnd(data);
    for (std::size_t i = 0; i < end; ++i)
        if (data[i] == kCarriageReturn) ++lines;
    return lines;
}

namespace {

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Data, end of file, segment address, start segment, linear address, start
// linear: the data bytes each type carries (-1: any number).
constexpr int kTypeLength[6] = {-1, 0, 2, 4, 2, 4};

constexpr char kEndRecord[] = ":00000001FF";
constexpr std::size_t kEndRecordLength = sizeof kEndRecord - 1;

// One record line without its CR: ':', then count, address, type, data and
// checksum as upper-case hexadecimal byte pairs that sum to 0 modulo 256.
bool recordSound(const uint8_t* line, std::size_t length, int& type) {
    if (length < 11 || length % 2 == 0 || line[0] != ':') return false;
    unsigned sum = 0;
    int bytes[4] = {};
    for (std::size_t i = 1; i < length; i += 2) {
        int high = hexDigit(line[i]), low = hexDigit(line[i + 1]);
        if (high < 0 || low < 0) return false;
        int value = high * 16 + low;
        if (i / 2 < 4) bytes[i / 2] = value;
        sum += static_cast<unsigned>(value);
    }
    int count = bytes[0];
    type = bytes[3];
    if (length != 11 + 2 * static_cast<std::size_t>(count) || sum % 256 != 0 || type > 5) return false;
    if (kTypeLength[type] >= 0 && count != kTypeLength[type]) return false;
    return type != 1 || (length == kEndRecordLength && std::memcmp(line, kEndRecord, length) == 0);
}

constexpr char kKindPrefix[] = "zembrax-firmware-image: ";
constexpr std::size_t kKindPrefixLength = sizeof kKindPrefix - 1;

// The marker's text after its prefix, or an empty span.
std::span<const char> kindMarker() {
    HRSRC found = FindResourceA(panel.instance, "FirmwareKind", MAKEINTRESOURCEA(10)); // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(panel.instance, found) : nullptr;
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    std::size_t size = text ? SizeofResource(panel.instance, found) : 0;
    if (size <= kKindPrefixLength || std::memcmp(text, kKindPrefix, kKindPrefixLength) != 0) return {};
    return {text + kKindPrefixLength, size - kKindPrefixLength};
}

bool markerIs(std::span<const char> marker, const char* word) {
    return marker.size() == std::strlen(word) && std::memcmp(marker.data(), word, marker.size()) == 0;
}

constexpr char kGiven[] = "given ";
constexpr std::size_t kGivenLength = sizeof kGiven - 1;

bool markerGiven(std::span<const char> marker) {
    return marker.size() == kGivenLength + kImageHeaderLength &&
           std::memcmp(marker.data(), kGiven, kGivenLength) == 0;
}

} // namespace

ImageCheck checkFirmwareImage(std::span<const uint8_t> data) {
    ImageCheck check{ImageFault::None, 0, 0};
    if (data.size() >= kImageSearchLimit) {
        check.fault = ImageFault::TooLarge;
        return check;
    }
    bool header = data.size() > kImageHeaderLength && data[0] == 'Z' && data[1] == 'F' &&
                  data[kImageHeaderLength] == kCarriageReturn;
    for (std::size_t i = 0; header && i < kImageHeaderLength; ++i)
        header = data[i] >= 0x20 && data[i] < 0x7F;
    if (!header) {
        check.fault = ImageFault::Header;
        return check;
    }
    std::size_t position = kImageHeaderLength + 1;
    int32_t record = 0;
    for (;;) {
        if (position == data.size()) {
            check.fault = ImageFault::NoEndRecord;
            return check;
        }
        ++record;
        std::size_t end = position;
        while (end < data.size() && data[end] != kCarriageReturn)
            ++end;
        int type = -1;
        if (end == data.size() || !recordSound(data.data() + position, end - position, type)) {
            check.fault = ImageFault::Record;
            check.record = record;
            return check;
        }
        position = end + 1;
        if (type == 1) break;
    }
    if (position != data.size()) {
        check.fault = ImageFault::AfterEndRecord;
        return check;
    }
    check.lines = record + 1;
    return check;
}

FirmwareKind readFirmwareKind() {
    std::span<const char> marker = kindMarker();
    if (markerIs(marker, "none")) return FirmwareKind::None;
    if (markerIs(marker, "stand-in")) return FirmwareKind::StandIn;
    if (markerGiven(marker)) return FirmwareKind::Given;
    return FirmwareKind::Unknown;
}

void describeFirmwareKind(char* out, std::size_t size) {
    switch (readFirmwareKind()) {
    case FirmwareKind::None: std::snprintf(out, size, "none"); break;
    case FirmwareKind::StandIn:
        std::snprintf(out, size, "stand-in test image, never to be sent to a real unit");
        break;
    case FirmwareKind::Given:
        std::snprintf(out, size, "%.*s", static_cast<int>(kImageHeaderLength),
                      kindMarker().data() + kGivenLength);
        break;
    case FirmwareKind::Unknown: std::snprintf(out, size, "unknown"); break;
    }
}
