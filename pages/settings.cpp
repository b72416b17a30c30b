// Settings page: static list contents, selection handlers, settings report.
#include "settings.h"

#include <array>
#include <span>

#include "../app/panel.h"
#include "../app/resources/resource.h"

namespace {

constexpr std::array kVideoReference = {"Internal", "Ext. PAL", "Ext. NTSC", "Ext. Tri Level",
                                        "Follow Audio"};
constexpr std::array kSdStandard = {"NTSC", "PAL 25", "PAL 24", "PAL 23.98", "B&W 30"};
constexpr std::array kNtscBlack = {"NTSC-J JAPAN ", "+7.5 IRE USA"};
constexpr std::array kExtVideoLock = {"Syncs only", "Syncs & SC"};
constexpr std::array kHdStandard = {
    "1080i 47.95", "1080i 48",    "1080i 50",   "1080i 59.94", "1080i 60",    "1080p 23.98", "1080p 24",
    "1080p 25",    "1080p 29.97", "1080p 30",   "1080p 50",    "1080p 59.94", "1080p 60",    "720p 23.98",
    "720p 24",     "720p 25",     "720p 29.97", "720p 30",     "720p 50",     "720p 59.94",  "720p 60",
};
constexpr std::array kAudioReference = {
    "Follow Video",       "Ext. Word FS 44.1", "Ext. Word FS 44.1 pd", "Ext. Word FS 48",
    "Ext. Word FS 48 pd", "Ext. Word FS 88.2", "Ext. Word FS 88.2 pd", "Ext. Word FS 96",
    "Ext. Word FS 96 pd", "Ext. Word 1:1",     "LTC 23.98 fps",        "LTC 24 fps",
    "LTC 25 fps",         "LTC 29.97 fps",     "LTC 30 fps",
};
constexpr std::array kSampleRate = {
    "48 kHz",   "48 kHz + 4%",   "48 kHz + 0.1%",   "48 kHz - 0.1%",   "48 kHz - 4%",
    "44.1 kHz", "44.1 kHz + 4%", "44.1 kHz + 0.1%", "44.1 kHz - 0.1%", "44.1 kHz - 4%",
};

void fill(int id, std::span<const char* const> entries) {
    for (const char* entry : entries)
        SendMessageA(control(id), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
}

} // namespace

void fillSettingsLists() {
    fill(IDC_VIDEO_REF, kVideoReference);
    fill(IDC_SD_STANDARD, kSdStandard);
    fill(IDC_NTSC_BLACK, kNtscBlack);
    fill(IDC_EXT_LOCK, kExtVideoLock);
    fill(IDC_HD_STANDARD, kHdStandard);
    fill(IDC_AUDIO_REF, kAudioReference);
    fill(IDC_SAMPLE_RATE, kSampleRate);
}

// The selection handlers and the settings report are not built yet: a pick
// changes nothing and sends nothing, a report is not shown.
void onSettingsSelection(int, int) {}
void onConfigProtect() {}
void onSettingsReport(const uint8_t*, std::size_t) {}
