// Dialog template 100 as the program carries it: read back from the resource
// and from the live window, control by control, against the layout table.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/pages.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"

namespace {

enum class Kind { Button, Check, Text, Progress, BlackRect, Group, Edit, EditTab, List, UpDown, LogList };

// Pages on which a control is shown (bit n: layout n); always-visible and
// switch-only controls are never touched by the pages.
constexpr unsigned kAlways = 0x100;
constexpr unsigned kSwitch = 0x200;
constexpr unsigned kUpdate = 1u << 1;
constexpr unsigned kSettings = 1u << 2;
constexpr unsigned kTimeCode = 1u << 3;
constexpr unsigned kCalibration = 1u << 4;
constexpr unsigned kPages = kSettings | kTimeCode | kCalibration;

struct Row {
    int id;
    Kind kind;
    const char* caption;
    RECT position; // x, y, width, height in dialog units (up-downs: placed by their buddy)
    unsigned pages;
};

// The layout, in template order (which is also the tab order).
const Row kLayout[] = {
    {222, Kind::Button, "Release", {10, 10, 49, 15}, kAlways},
    {221, Kind::Button, "Connect", {60, 10, 49, 15}, kAlways},
    {182, Kind::Button, "Help", {336, 10, 99, 15}, kAlways},
    {153, Kind::Check, "auto connect", {10, 30, 53, 10}, kAlways},
    {112, Kind::Text, "zembrax HD not connected", {150, 10, 160, 20}, kAlways},
    {223, Kind::Button, "Update Firmware", {10, 50, 100, 19}, kUpdate},
    {115,
     Kind::Text,
     "This program requires firmware 3.01\nPlease update firmware\n",
     {150, 50, 160, 20},
     kUpdate},
    {116, Kind::Progress, "", {10, 80, 280, 4}, kUpdate},
    {211, Kind::Button, "Settings", {10, 50, 125, 15}, kPages},
    {212, Kind::Button, "Time Code", {140, 50, 125, 15}, kPages},
    {213, Kind::Button, "Calibration", {270, 50, 165, 15}, kPages},
    {300, Kind::BlackRect, "", {10, 65, 125, 5}, kSettings},
    {301, Kind::BlackRect, "", {140, 65, 125, 5}, kTimeCode},
    {302, Kind::BlackRect, "", {270, 65, 165, 5}, kCalibration},
    {192, Kind::Group, "Four User Profiles", {10, 80, 189, 70}, kSettings},
    {224, Kind::Button, "Save Profile", {110, 120, 80, 22}, kSettings},
    {254, Kind::Edit, "", {110, 100, 80, 15}, kSettings},
    {253, Kind::List, "", {20, 100, 85, 45}, kSettings},
    {114, Kind::Text, "VIDEO REFERENCE", {10, 155, 65, 10}, kSettings},
    {240, Kind::List, "", {10, 163, 60, 50}, kSettings},
    {121, Kind::Text, "EXT VIDEO LOCK", {10, 215, 60, 10}, kSettings},
    {256, Kind::List, "", {10, 223, 60, 20}, kSettings},
    {117, Kind::Text, "SD STANDARD", {75, 155, 60, 10}, kSettings},
    {241, Kind::List, "", {75, 163, 60, 50}, kSettings},
    {120, Kind::Text, "NTSC BLACK", {75, 215, 60, 10}, kSettings},
    {255, Kind::List, "", {75, 223, 60, 20}, kSettings},
    {123, Kind::Text, "VIDEO OUT 1-3", {140, 155, 60, 10}, kSettings},
    {243, Kind::List, "", {140, 163, 60, 20}, kSettings},
    {124, Kind::Text, "VIDEO OUT 4", {140, 183, 60, 10}, kSettings},
    {244, Kind::List, "", {140, 191, 60, 20}, kSettings},
    {125, Kind::Text, "VIDEO OUT 5", {140, 211, 60, 10}, kSettings},
    {245, Kind::List, "", {140, 219, 60, 20}, kSettings},
    {126, Kind::Text, "VIDEO OUT 6", {140, 239, 60, 10}, kSettings},
    {246, Kind::List, "", {140, 247, 60, 30}, kSettings},
    {122, Kind::Text, "HD STANDARD", {205, 82, 60, 10}, kSettings},
    {242, Kind::List, "", {205, 90, 60, 180}, kSettings},
    {127, Kind::Text, "AUDIO REFERENCE", {270, 82, 80, 10}, kSettings},
    {247, Kind::List, "", {270, 90, 80, 125}, kSettings},
    {131, Kind::Text, "AES OUT", {270, 215, 60, 10}, kSettings},
    {251, Kind::List, "", {270, 223, 80, 20}, kSettings},
    {132, Kind::Text, "SPDIF OUT", {270, 245, 60, 10}, kSettings},
    {252, Kind::List, "", {270, 253, 80, 20}, kSettings},
    {128, Kind::Text, "SAMPLE RATE", {355, 82, 80, 10}, kSettings},
    {248, Kind::List, "", {355, 90, 80, 85}, kSettings},
    {129, Kind::Text, "WORD OUT 1-6", {355, 175, 60, 10}, kSettings},
    {249, Kind::List, "", {355, 183, 80, 30}, kSettings},
    {130, Kind::Text, "WORD OUT 7-8", {355, 215, 60, 10}, kSettings},
    {250, Kind::List, "", {355, 223, 80, 60}, kSettings},
    {183, Kind::Check, " CONFIG. PROTECT /", {10, 250, 100, 8}, kSettings},
    {193, Kind::Text, "disable local buttons", {22, 259, 100, 10}, kSettings},
    {135, Kind::Group, "MTC Midi Time Code reader", {10, 80, 425, 40}, kTimeCode},
    {133, Kind::Text, "00:00:00:00", {141, 90, 240, 25}, kTimeCode},
    {134, Kind::Text, "default text", {30, 92, 100, 25}, kTimeCode},
    {146, Kind::Group, "MMC Midi Machine Control", {10, 125, 425, 80}, kTimeCode},
    {136, Kind::EditTab, "", {140, 140, 31, 14}, kTimeCode},
    {137, Kind::UpDown, "", {0, 0, 0, 0}, kTimeCode},
    {138, Kind::EditTab, "", {175, 140, 31, 14}, kTimeCode},
    {139, Kind::UpDown, "", {0, 0, 0, 0}, kTimeCode},
    {140, Kind::EditTab, "", {210, 140, 31, 14}, kTimeCode},
    {141, Kind::UpDown, "", {0, 0, 0, 0}, kTimeCode},
    {142, Kind::Button, "MMC Locate", {30, 140, 90, 15}, kTimeCode},
    {144, Kind::Button, "MMC Play", {30, 155, 90, 15}, kTimeCode},
    {145, Kind::Button, "MMC Stop", {30, 170, 90, 15}, kTimeCode},
    {147, Kind::Button, "Jam LTC Reader", {30, 185, 90, 15}, kTimeCode},
    {143, Kind::List, "", {280, 140, 60, 60}, kTimeCode},
    {148, Kind::Group, "Windows System Time", {10, 210, 425, 62}, kTimeCode},
    {149, Kind::Text, "00:00:00", {141, 222, 130, 25}, kTimeCode},
    {150, Kind::Button, "Jam System Time", {30, 225, 90, 15}, kTimeCode},
    {151, Kind::Text, "no MTC present", {280, 225, 100, 20}, kTimeCode},
    {152, Kind::Check, " auto jam when error > 1s", {280, 248, 100, 8}, kTimeCode},
    {155, Kind::Check, " default text", {280, 258, 100, 8}, kTimeCode},
    {156, Kind::Text, "TC Format follows\nHD standard settings", {30, 248, 100, 20}, kTimeCode},
    {159, Kind::Group, "PAL / NTSC Subcarrier Phase", {10, 80, 425, 35}, kCalibration},
    {157, Kind::EditTab, "", {100, 95, 31, 14}, kCalibration},
    {158, Kind::UpDown, "", {0, 0, 0, 0}, kCalibration},
    {160, Kind::Button, "Save", {270, 95, 90, 15}, kCalibration},
    {161, Kind::Text, "steps + / - 127 result in\nn * 360 / 256 degree", {150, 93, 80, 20}, kCalibration},
    {164, Kind::Group, "External - Internal H-Phase Offset", {10, 120, 425, 35}, kCalibration},
    {162, Kind::EditTab, "", {100, 135, 31, 14}, kCalibration},
    {163, Kind::UpDown, "", {0, 0, 0, 0}, kCalibration},
    {165, Kind::Button, "Save", {270, 135, 90, 15}, kCalibration},
    {166, Kind::Text, "steps + / - 127 result in\nn * 8 ns offset", {150, 133, 80, 20}, kCalibration},
    {176, Kind::Group, "Word Clock Varispeed", {10, 160, 425, 35}, kCalibration},
    {177, Kind::Button, "Varispeed", {270, 175, 50, 15}, kCalibration},
    {178, Kind::Button, "Release", {330, 175, 50, 15}, kCalibration},
    {181, Kind::Button, "Help", {395, 175, 30, 15}, kCalibration},
    {179,
     Kind::Text,
     "Enter word clock frequency\nin milli Hertz i.e. 48000533",
     {150, 173, 100, 20},
     kCalibration},
    {180, Kind::Edit, "", {52, 175, 80, 13}, kCalibration},
    {184, Kind::Group, "User Calibration Offset", {10, 200, 425, 65}, kCalibration},
    {186, Kind::EditTab, "", {100, 215, 31, 14}, kCalibration},
    {187, Kind::UpDown, "", {0, 0, 0, 0}, kCalibration},
    {188, Kind::Button, "Save", {270, 215, 90, 15}, kCalibration},
    {185, Kind::Text, "default TCXO", {150, 213, 120, 20}, kCalibration},
    {189, Kind::Text, "default user", {150, 234, 120, 20}, kCalibration},
    {154, Kind::Button, "Clear All Logs", {10, 275, 125, 15}, kAlways},
    {190, Kind::Button, "Capture Tuning", {140, 275, 60, 15}, kSwitch},
    {191, Kind::Button, "Erase EEPROM", {205, 275, 60, 15}, kSwitch},
    {303, Kind::LogList, "", {10, 290, 425, 50}, kAlways},
};

// ---- A reader for the DLGTEMPLATEEX resource ----

struct TemplateItem {
    DWORD exStyle, style;
    short x, y, cx, cy;
    DWORD id;
    std::wstring className; // predefined classes by name
    std::wstring title;
};

struct Template {
    DWORD exStyle, style;
    short x, y, cx, cy;
    std::wstring title, fontFace;
    WORD pointSize;
    BYTE charset;
    std::vector<TemplateItem> items;
};

class Reader {
  public:
    explicit Reader(const BYTE* p) : p_(p) {}
    WORD word() {
        WORD v;
        memcpy(&v, p_, 2);
        p_ += 2;
        return v;
    }
    DWORD dword() {
        DWORD v;
        memcpy(&v, p_, 4);
        p_ += 4;
        return v;
    }
    BYTE byte() { return *p_++; }
    std::wstring string() {
        std::wstring s;
        for (WORD c; (c = word()) != 0;)
            s.push_back(static_cast<wchar_t>(c));
        return s;
    }
    std::wstring stringOrOrdinal() {
        WORD first;
        memcpy(&first, p_, 2);
        if (first == 0xFFFF) {
            word();
            switch (WORD ordinal = word()) {
            case 0x80: return L"Button";
            case 0x81: return L"Edit";
            case 0x82: return L"Static";
            case 0x83: return L"ListBox";
            default: return L"#" + std::to_wstring(ordinal);
            }
        }
        return string();
    }
    void alignDword(const BYTE* base) {
        while ((p_ - base) % 4)
            ++p_;
    }
    const BYTE* p_;
};

Template readTemplate() {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found =
        FindResourceA(module, MAKEINTRESOURCEA(IDD_MAIN_PANEL), reinterpret_cast<LPCSTR>(RT_DIALOG));
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader r(base);
    Template t{};
    EXPECT_EQ(r.word(), 1);      // dlgVer
    EXPECT_EQ(r.word(), 0xFFFF); // extended template
    r.dword();                   // helpID
    t.exStyle = r.dword();
    t.style = r.dword();
    WORD count = r.word();
    t.x = r.word();
    t.y = r.word();
    t.cx = r.word();
    t.cy = r.word();
    EXPECT_EQ(r.stringOrOrdinal(), L""); // no menu
    EXPECT_EQ(r.stringOrOrdinal(), L""); // standard dialog class
    t.title = r.string();
    t.pointSize = r.word();
    r.word(); // weight
    r.byte(); // italic
    t.charset = r.byte();
    t.fontFace = r.string();
    for (WORD i = 0; i < count; ++i) {
        r.alignDword(base);
        TemplateItem item{};
        r.dword(); // helpID
        item.exStyle = r.dword();
        item.style = r.dword();
        item.x = r.word();
        item.y = r.word();
        item.cx = r.word();
        item.cy = r.word();
        item.id = r.dword();
        item.className = r.stringOrOrdinal();
        item.title = r.stringOrOrdinal();
        WORD extra = r.word();
        r.p_ += extra;
        t.items.push_back(item);
    }
    return t;
}

std::wstring widen(const char* s) {
    return std::wstring(s, s + strlen(s));
}

struct Expected {
    const wchar_t* className;
    DWORD typeMask, type; // style & typeMask == type
    bool tabStop;
};

Expected expectedFor(Kind kind) {
    switch (kind) {
    case Kind::Button: return {L"Button", BS_TYPEMASK, BS_PUSHBUTTON, true};
    case Kind::Check: return {L"Button", BS_TYPEMASK, BS_AUTOCHECKBOX, true};
    case Kind::Group: return {L"Button", BS_TYPEMASK, BS_GROUPBOX, false};
    case Kind::Text: return {L"Static", SS_TYPEMASK, SS_LEFT, false};
    case Kind::BlackRect: return {L"Static", SS_TYPEMASK, SS_BLACKRECT, false};
    case Kind::Progress: return {L"msctls_progress32", 0, 0, false};
    case Kind::Edit: return {L"Edit", ES_CENTER | ES_RIGHT, ES_CENTER, false};
    case Kind::EditTab: return {L"Edit", ES_CENTER | ES_RIGHT, ES_CENTER, true};
    case Kind::List:
        return {L"ListBox", LBS_NOTIFY | LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL, LBS_NOTIFY, false};
    case Kind::LogList:
        return {L"ListBox", LBS_NOTIFY | LBS_SORT | LBS_MULTIPLESEL | WS_VSCROLL, WS_VSCROLL, false};
    case Kind::UpDown:
        return {L"msctls_updown32", 0xFFFF,
                UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS, false};
    }
    return {};
}

TEST(DialogTemplate, HeaderAsTheProgramShowsIt) {
    Template t = readTemplate();
    EXPECT_EQ(t.title, L"Kermaveld zembrax HD  3.0");
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 445);
    EXPECT_EQ(t.cy, 350);
    EXPECT_EQ(t.exStyle, 0u);
    const DWORD styles = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME |
                         DS_CENTER | DS_3DLOOK | DS_SHELLFONT;
    EXPECT_EQ(t.style, styles);
    EXPECT_EQ(t.pointSize, 10);
    EXPECT_EQ(t.charset, DEFAULT_CHARSET);
    EXPECT_EQ(_wcsicmp(t.fontFace.c_str(), L"MS Shell Dlg 2"), 0);
    EXPECT_EQ(t.items.size(), std::size(kLayout));
}

TEST(DialogTemplate, EveryControlInTemplateOrder) {
    Template t = readTemplate();
    ASSERT_EQ(t.items.size(), 98u);
    for (size_t i = 0; i < std::size(kLayout); ++i) {
        const Row& row = kLayout[i];
        const TemplateItem& item = t.items[i];
        SCOPED_TRACE("control " + std::to_string(row.id));
        Expected e = expectedFor(row.kind);
        EXPECT_EQ(item.id, static_cast<DWORD>(row.id));
        EXPECT_EQ(_wcsicmp(item.className.c_str(), e.className), 0) << "class";
        EXPECT_EQ(item.style & e.typeMask, e.type);
        EXPECT_EQ((item.style & WS_CHILD) != 0, true);
        EXPECT_EQ((item.style & WS_VISIBLE) != 0, true);
        EXPECT_EQ((item.style & WS_TABSTOP) != 0, e.tabStop);
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.title, widen(row.caption));
        if (row.kind != Kind::UpDown) {
            EXPECT_EQ(item.x, row.position.left);
            EXPECT_EQ(item.y, row.position.top);
            EXPECT_EQ(item.cx, row.position.right);
            EXPECT_EQ(item.cy, row.position.bottom);
        }
    }
}

class Layout : public ::testing::Test {
  protected:
    void SetUp() override { window = openPanel(); }
    void TearDown() override { closePanel(window); }

    // The controls that should be visible in a layout, by the table.
    void expectLayout(unsigned pageBit, bool switchesShown) {
        for (const Row& row : kLayout) {
            bool shown =
                (row.pages & kAlways) || ((row.pages & kSwitch) && switchesShown) || (row.pages & pageBit);
            EXPECT_EQ(isShown(window, row.id), shown) << "control " << row.id << " " << row.caption;
        }
    }
    HWND window = nullptr;
};

TEST_F(Layout, LiveControlsFollowTheTemplate) {
    HWND child = GetWindow(window, GW_CHILD);
    HWND previous = nullptr;
    for (const Row& row : kLayout) {
        ASSERT_NE(child, nullptr);
        SCOPED_TRACE("control " + std::to_string(row.id));
        EXPECT_EQ(GetDlgCtrlID(child), row.id);
        if (row.kind == Kind::UpDown) {
            EXPECT_EQ(reinterpret_cast<HWND>(SendMessageA(child, UDM_GETBUDDY, 0, 0)), previous);
        } else {
            // The dialog manager maps origin and size each on its own.
            RECT expected = row.position;
            MapDialogRect(window, &expected);
            expected.right += expected.left;
            expected.bottom += expected.top;
            RECT actual;
            GetWindowRect(child, &actual);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
            if (row.kind != Kind::EditTab) { // edits with an up-down give it room on their right
                EXPECT_EQ(actual.left, expected.left);
                EXPECT_EQ(actual.right, expected.right);
            }
            EXPECT_EQ(actual.top, expected.top);
            if (row.kind == Kind::List || row.kind == Kind::LogList) {
                // A list box shows whole items only: its height is cut to a multiple of one item.
                LRESULT item = SendMessageA(child, LB_GETITEMHEIGHT, 0, 0);
                EXPECT_LE(actual.bottom, expected.bottom);
                EXPECT_GT(actual.bottom, expected.bottom - item);
            } else {
                EXPECT_EQ(actual.bottom, expected.bottom);
            }
        }
        previous = child;
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
    RECT client, full = {0, 0, 445, 350};
    GetClientRect(window, &client);
    MapDialogRect(window, &full);
    EXPECT_EQ(client.right, full.right);
    EXPECT_EQ(client.bottom, full.bottom);
    EXPECT_EQ(windowText(window), "Kermaveld zembrax HD  3.0");
}

TEST_F(Layout, AtStartOnlyTheAlwaysVisibleControlsShow) {
    expectLayout(0, false);
}

TEST_F(Layout, EachLayoutShowsItsGroup) {
    for (int mode : {1, 2, 3, 4, 0, 5, 255}) {
        SCOPED_TRACE("layout " + std::to_string(mode));
        showPage(static_cast<PageMode>(mode));
        expectLayout(mode >= 1 && mode <= 4 ? 1u << mode : 0u, false);
    }
}

TEST_F(Layout, PageButtonsChooseAndRememberThePage) {
    showPage(PageMode::Settings);
    command(window, IDC_PAGE_CALIBRATION, BN_CLICKED);
    expectLayout(kCalibration, false);
    EXPECT_EQ(panel.pageMode, PageMode::Calibration);
    command(window, IDC_PAGE_TIME_CODE, BN_CLICKED);
    expectLayout(kTimeCode, false);
    EXPECT_EQ(panel.pageMode, PageMode::TimeCode);
    showPage(PageMode::NotConnected); // as Release does: the page stays remembered
    expectLayout(0, false);
    EXPECT_EQ(panel.pageMode, PageMode::TimeCode);
    command(window, IDC_PAGE_SETTINGS, BN_CLICKED);
    expectLayout(kSettings, false);
    EXPECT_EQ(panel.pageMode, PageMode::Settings);
}

TEST_F(Layout, HiddenControlsKeepTheirState) {
    showPage(PageMode::Settings);
    SendDlgItemMessageA(window, IDC_SD_STANDARD, LB_SETCURSEL, 3, 0);
    SetDlgItemTextA(window, IDC_PROFILE_NAME, "STUDIO B");
    showPage(PageMode::Calibration);
    showPage(PageMode::NotConnected);
    showPage(PageMode::Settings);
    EXPECT_EQ(selection(window, IDC_SD_STANDARD), 3);
    EXPECT_EQ(controlText(window, IDC_PROFILE_NAME), "STUDIO B");
}

TEST(LayoutWithSwitches, ServiceButtonsStayOnEveryLayout) {
    HWND window = openPanel("-C -E");
    for (int mode : {0, 1, 2, 3, 4}) {
        showPage(static_cast<PageMode>(mode));
        EXPECT_TRUE(isShown(window, IDC_CAPTURE_TUNING)) << "layout " << mode;
        EXPECT_TRUE(isShown(window, IDC_ERASE_EEPROM)) << "layout " << mode;
    }
    closePanel(window);
}

} // namespace
