// MTC reader. Not built yet: time code is not decoded or shown.
#include "mtc_reader.h"

void decodeQuarterFrame(uint8_t) {}
void showFullFrame(const uint8_t*, std::size_t) {}
void mtcWatchdogTick() {}
