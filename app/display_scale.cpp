// Display scale: the display font follows the DPI of the window's monitor.
#include "display_scale.h"

#include "../core/panel.h"
#include "../core/resource.h"

namespace {

// A function of user32 that older Windows versions lack; null there.
template <typename Function>
Function user32Function(const char* name) {
    FARPROC address = GetProcAddress(GetModuleHandleA("user32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// Consolas, 28 points high at `dpi`, for 133 and 149. The old font is deleted
// once both controls hold the new one; a font that cannot be made leaves the
// old one in place.
void setDisplayFont(UINT dpi) {
    HFONT font =
        CreateFontA(-MulDiv(28, static_cast<int>(dpi), 72), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Consolas");
    if (!font) return;
    HFONT old = panel.displayFont;
    panel.displayFont = font;
    SendMessageA(control(IDC_MTC_DISPLAY), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageA(control(IDC_CLOCK_DISPLAY), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (old) DeleteObject(old);
}

} // namespace

UINT windowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = user32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    UINT dpi = getDpiForWindow ? getDpiForWindow(window) : 0;
    if (dpi) return dpi;
    HDC dc = GetDC(window);
    dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(window, dc);
    return dpi;
}

void initDisplayFont() {
    using SetBehaviourFunction =
        BOOL(WINAPI*)(HWND, DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS, DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS);
    static const auto setBehaviour =
        user32Function<SetBehaviourFunction>("SetDialogControlDpiChangeBehavior");
    if (setBehaviour)
        for (int id : {IDC_MTC_DISPLAY, IDC_CLOCK_DISPLAY})
            setBehaviour(control(id), DCDC_DISABLE_FONT_UPDATE, DCDC_DISABLE_FONT_UPDATE);
    setDisplayFont(windowDpi(panel.window));
}

INT_PTR onDpiChanged(WPARAM wParam, LPARAM lParam) {
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(panel.window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    setDisplayFont(HIWORD(wParam)); // the vertical DPI: the font's height follows it
    return FALSE;
}
