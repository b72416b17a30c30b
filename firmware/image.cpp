// Firmware image: open the resource, find its end, count its lines.
#include "image.h"

#include "../app/panel.h"

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
