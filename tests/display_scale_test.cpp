// Display scale: the panel at the DPI of the Wine prefix it runs in (96, or
// 144 in the ctest entry panel_tests.dpi144): every control inside the window,
// every static text as wide as its text in its own font, the display font 28
// points high; and a move to a monitor of 192 DPI.
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/display_scale.h"
#include "app/pages.h"
#include "core/resource.h"
#include "harness.h"

namespace {

// The DPI of the prefix this runs in (cmake/wine-run.sh).
UINT prefixDpi() {
    char dpi[8] = {};
    GetEnvironmentVariableA("ZEMBRAX_WINE_DPI", dpi, sizeof dpi);
    return std::string(dpi) == "144" ? 144 : 96;
}

LONG fontHeight(HWND window, int id) {
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendDlgItemMessageA(window, id, WM_GETFONT, 0, 0)), sizeof font,
               &font);
    return font.lfHeight;
}

// The lines of visible static texts that are wider than their control, in its own font.
std::vector<std::string> cutTexts(HWND window) {
    std::vector<std::string> cut;
    for (HWND text = GetWindow(window, GW_CHILD); text; text = GetWindow(text, GW_HWNDNEXT)) {
        char kind[16] = {};
        GetClassNameA(text, kind, sizeof kind);
        if (!IsWindowVisible(text) || lstrcmpiA(kind, "Static") != 0 ||
            (GetWindowLongA(text, GWL_STYLE) & SS_TYPEMASK) > SS_RIGHT)
            continue;
        RECT area;
        GetClientRect(text, &area);
        HDC dc = GetDC(text);
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(text, WM_GETFONT, 0, 0)));
        std::istringstream lines(windowText(text));
        for (std::string line; std::getline(lines, line);) {
            SIZE size{};
            GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &size);
            if (size.cx > area.right) cut.push_back(line);
        }
        ReleaseDC(text, dc);
    }
    return cut;
}

class DisplayScale : public ConnectedPanel {};

TEST_F(DisplayScale, EveryPageFitsTheWindowAndItsTextsAtThePrefixsDpi) {
    ASSERT_EQ(windowDpi(window), prefixDpi());
    EXPECT_EQ(fontHeight(window, IDC_MTC_DISPLAY), prefixDpi() == 144 ? -56 : -37);
    EXPECT_EQ(fontHeight(window, IDC_CLOCK_DISPLAY), prefixDpi() == 144 ? -56 : -37);
    ShowWindow(GetDlgItem(window, IDC_CAPTURE_TUNING), SW_SHOWNORMAL);
    ShowWindow(GetDlgItem(window, IDC_ERASE_EEPROM), SW_SHOWNORMAL);
    for (int page : {1, 2, 3, 4}) {
        showPage(static_cast<PageMode>(page));
        EXPECT_EQ(controlsOutsideClientArea(window), std::vector<int>{}) << "page " << page;
        EXPECT_EQ(cutTexts(window), std::vector<std::string>{}) << "page " << page;
    }
}

TEST_F(DisplayScale, MoveToA192DpiMonitorTakesTheSuggestedRectangleAndRemakesTheFont) {
    HGDIOBJ before =
        reinterpret_cast<HGDIOBJ>(SendDlgItemMessageA(window, IDC_MTC_DISPLAY, WM_GETFONT, 0, 0));
    RECT suggested{30, 20, 1230, 1000}, taken{};
    SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(window, &taken);
    EXPECT_TRUE(EqualRect(&taken, &suggested));
    EXPECT_EQ(fontHeight(window, IDC_MTC_DISPLAY), -75);
    EXPECT_EQ(fontHeight(window, IDC_CLOCK_DISPLAY), -75);
    EXPECT_EQ(GetObjectType(before), 0u) << "the old font is left";
}

} // namespace
