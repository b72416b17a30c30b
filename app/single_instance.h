// One panel per machine: a named mutex in the session's namespace tells a new
// start whether a panel already runs; if so, the new start brings that
// panel's window to the front and ends. Switch M starts a further panel anyway.
#pragma once

#include <windows.h>

enum class PanelClaim {
    Alone,       // no other panel runs, or switch M asks for a further one
    AnotherRuns, // this start makes way for the running panel
};

// Claims the panel's place in the session. `claim` receives the mutex handle
// (null when there is none), to be closed when the window has ended. With
// `further` (switch M) the start never makes way, but still holds the mutex,
// so that a later start without M finds the running panels.
PanelClaim claimPanel(bool further, HANDLE& claim);

// Brings the running panel's window (or its open message box) to the front,
// restoring it if it is minimised. Waits up to 3 s for a panel that is still
// creating its window; does nothing when none appears.
void bringRunningPanelForward();

// WM_INITDIALOG and WM_DESTROY: the mark by which a new start finds the window.
void markPanelWindow();
void unmarkPanelWindow();
