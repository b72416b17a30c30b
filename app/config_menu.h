// The unit configuration's entries at the end of the system menu, "Save unit
// configuration..." and "Restore unit configuration...": the Save and Open
// dialogs, the questions and messages of both, and what follows each wait
// for the unit's reports (pages/unit_config.h).
#pragma once

#include <windows.h>
#include <commdlg.h>

// The Open dialog: GetOpenFileNameA unless a test put its own here. (Save
// uses the log menu's saveDialog.)
using OpenDialogFunction = BOOL(WINAPI*)(LPOPENFILENAMEA);
extern OpenDialogFunction openDialog;

// WM_INITDIALOG, after the log's entries: a separator and the two entries, greyed.
void addConfigEntriesToSystemMenu();

// WM_INITMENUPOPUP: for the system menu, enables the entries while a unit with
// operable firmware is connected, no update runs and no transfer is under
// way, and greys them otherwise. Returns FALSE: the system goes on as usual.
INT_PTR onConfigMenuPopup(WPARAM wParam, LPARAM lParam);

// WM_SYSCOMMAND: TRUE if it was one of the two entries (then done, or
// nothing when the entry is not available now).
INT_PTR onConfigSystemCommand(WPARAM wParam);

// Timer 9: the wait for the unit's reports, and what follows it.
void onConfigTimer();
