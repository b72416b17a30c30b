// Device event reports: report 0x61, the unit's own sync and front-panel events.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kSyncReportLength = 7;

void handleSyncReport(const uint8_t* bytes, std::size_t count);
