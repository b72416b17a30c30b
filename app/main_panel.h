// MainPanel: the dialog procedure of the one window, and the program entry.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MainPanel(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The argument text of a command line: what follows the program name and the
// blanks after it (the program name may be quoted).
const char* separateArgumentText(const char* commandLine);

// Copies at most the first 80 characters of the argument text into
// argumentText; the rest of the 128-character buffer stays zero.
void copyArgumentText(const char* argumentText);

// Applies the switch letters of argumentText (WM_INITDIALOG step 11).
void applySwitches();

// Puts PanelState and messageTable back to the state of a fresh start, so that
// every test starts like a newly started program. Call only while no MainPanel
// window exists.
void resetPanelState();

// Program entry: keeps the instance, initialises the common controls, keeps
// the argument text and runs MainPanel as a modal dialog. Returns its result.
int runPanel(HINSTANCE instance, const char* commandLine);
