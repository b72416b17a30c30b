// bench_template: the panel's own dialog template (app/resources/panel.rc,
// with its manifest and icon) opened and closed with no code behind it: the
// common controls initialised as the panel does, DialogBoxParam, WM_CLOSE.
// Not a baseline of any figure; start-up prints it beside the panel to show
// how much of the panel's start-up the template alone takes.
#include <windows.h>
#include <commctrl.h>

#include "core/resource.h"

namespace {

INT_PTR CALLBACK templateOnly(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_CLOSE: EndDialog(window, 0); return TRUE;
    default: return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN_PANEL), nullptr, templateOnly, 0));
}
