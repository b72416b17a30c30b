// One panel per machine: the session-wide mutex and the window mark.
#include "single_instance.h"

#include "../core/panel.h"

namespace {

// The mutex's name in the session's namespace, and the window property that
// marks a panel's window (both named after the manifest's identity).
constexpr char kPanelMutex[] = "Local\\Kermaveld.zembrax.panel";
constexpr char kPanelMark[] = "Kermaveld.zembrax.panel";

BOOL CALLBACK findMarkedWindow(HWND window, LPARAM lParam) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == GetCurrentProcessId() || !GetPropA(window, kPanelMark)) return TRUE;
    *reinterpret_cast<HWND*>(lParam) = window;
    return FALSE;
}

} // namespace

PanelClaim claimPanel(bool further, HANDLE& claim) {
    claim = CreateMutexA(nullptr, FALSE, kPanelMutex);
    const DWORD error = GetLastError();
    if (further) return PanelClaim::Alone;
    // A mutex that exists, or one that this start may not open (a panel that
    // runs as administrator made it), means a panel runs.
    const bool taken = claim ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
    if (!taken) return PanelClaim::Alone;
    if (claim) CloseHandle(claim);
    claim = nullptr;
    return PanelClaim::AnotherRuns;
}

void bringRunningPanelForward() {
    HWND running = nullptr;
    for (int wait = 0; wait < 30 && !running; ++wait) {
        EnumWindows(findMarkedWindow, reinterpret_cast<LPARAM>(&running));
        if (!running) Sleep(100);
    }
    if (!running) return;
    if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(GetLastActivePopup(running));
}

void markPanelWindow() {
    SetPropA(panel.window, kPanelMark, reinterpret_cast<HANDLE>(1));
}

void unmarkPanelWindow() {
    RemovePropA(panel.window, kPanelMark);
}
