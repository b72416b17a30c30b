// Local time for log lines, the MTC clock check and the jams.
#include "clock.h"

#include "panel.h"

LocalTimeSource localTimeSource = GetLocalTime;

const SYSTEMTIME& readLocalTime() {
    localTimeSource(&panel.localTime);
    return panel.localTime;
}

long long clockSeconds() {
    SYSTEMTIME now;
    localTimeSource(&now);
    FILETIME time;
    if (!SystemTimeToFileTime(&now, &time)) return 0;
    return fileTimeSeconds(time);
}

long long fileTimeSeconds(const FILETIME& time) {
    ULARGE_INTEGER ticks; // 100 ns each
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<long long>(ticks.QuadPart / 10000000ULL);
}
