// Local time for log lines, the MTC clock check and the jams.
#include "clock.h"

#include "panel.h"

LocalTimeSource localTimeSource = GetLocalTime;

const SYSTEMTIME& readLocalTime() {
    localTimeSource(&panel.localTime);
    return panel.localTime;
}
