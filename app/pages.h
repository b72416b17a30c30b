// Pages and layout modes: which group of MainPanel's controls is visible.
#pragma once

#include <cstdint>

// 0 not connected, 1 update needed, 2 settings, 3 time code, 4 calibration;
// any other value hides like 0.
void showPage(int mode);

// Page buttons 211, 212, 213.
void onPageButton(int id);
