// bench_bare_dialog: the bare baseline of start-up, idle and memory. A dialog
// of the panel's size with one list box, opened and closed as the panel is
// (DialogBoxParam, WM_CLOSE), doing nothing else.
#include <windows.h>

#include "bare.h"

namespace {

INT_PTR CALLBACK bareDialog(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_CLOSE: EndDialog(window, 0); return TRUE;
    default: return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_BARE), nullptr, bareDialog, 0));
}
