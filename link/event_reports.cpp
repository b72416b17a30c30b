// Device event reports: lock changes and front-panel events of the unit.
#include "event_reports.h"

#include "../core/log.h"
#include "message_table.h"

namespace {

constexpr const char* kStatusTexts[] = {
    "locked to internal reference",               // 0x02
    "locked to external video reference",         // 0x03
    "lost lock to external video reference",      // 0x04
    "locked to external audio reference",         // 0x05
    "lost lock to external audio reference",      // 0x06
    "settings changed with hardware interface",   // 0x07
    "user profile saved with hardware interface", // 0x08
};

} // namespace

void handleSyncReport(const uint8_t* bytes, std::size_t count) {
    if (count < kSyncReportLength) return;
    uint8_t status = bytes[5];
    uint8_t index = static_cast<uint8_t>(status - 2);
    if (index > 6) {
        logLine("unknown value from sync report status");
        return;
    }
    // After a change on the unit's own buttons the shown settings may be stale.
    if (status == 0x07 || status == 0x08) sendMessage(Msg::RequestSettings);
    logLine("%s", kStatusTexts[index]);
}
