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

// Whether argumentText holds the switch `letter` (upper case), by the same
// rules as applySwitches; the entry asks for M before the window exists.
bool switchGiven(char letter);

// Puts PanelState and messageTable back to the state of a fresh start, so that
// every test starts like a newly started program. Call only while no MainPanel
// window exists.
void resetPanelState();

// Program entry: keeps the instance and the argument text; makes way for a
// panel that already runs unless switch M is given (the running panel comes
// to the front, the result is 0); else initialises the common controls and
// runs MainPanel as a modal dialog. Returns its result.
int runPanel(HINSTANCE instance, const char* commandLine);
