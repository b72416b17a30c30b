// Calibration page. Not built yet: edits and buttons send nothing, reports are not shown.
#include "calibration.h"

void onCalibrationCommand(int, int) {}
void onOscillatorReport(const uint8_t*, std::size_t) {}
void onCalibrationReport(const uint8_t*, std::size_t) {}
