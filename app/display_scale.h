// Display scale: the window's DPI and the display font of the time displays
// 133 and 149, made anew when the window moves to a monitor of another scale.
// The dialog template and its own font are scaled by the system: the manifest
// declares the panel per-monitor aware (v2).
#pragma once

#include <windows.h>

// The window's dots per inch: GetDpiForWindow where the system has it (from
// Windows 10 1607 on), else the screen's LOGPIXELSY.
UINT windowDpi(HWND window);

// WM_INITDIALOG: the display font for the window's DPI. The dialog manager is
// told to leave the two displays' font alone on a DPI change, since it would
// give them the dialog's font.
void initDisplayFont();

// WM_DPICHANGED: the window takes the suggested rectangle and the display font
// is made for the new DPI. Returns FALSE, so that the dialog manager still
// lays the controls out for the new DPI where the system does that.
INT_PTR onDpiChanged(WPARAM wParam, LPARAM lParam);
