// The event log beyond the window: the daily log file (order, days, failures,
// pruning, switch L) and the log's menus (Copy all, Save log as, Open log
// folder, Clear All Logs) in the context menu and the system menu.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "app/log_menu.h"
#include "core/resource.h"
#include "harness.h"
#include "link/midi_port.h"

namespace {

namespace fs = std::filesystem;

std::string panelFolder() {
    return localAppData() + "\\zembrax-panel";
}

std::string logsFolder() {
    return panelFolder() + "\\logs";
}

std::string readFile(const std::string& path) {
    std::ifstream file(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(fs::path(path), std::ios::binary) << bytes;
}

// Everything below a folder, as paths relative to it.
std::set<std::string> filesBelow(const std::string& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& item : fs::recursive_directory_iterator(fs::path(folder), error))
        names.insert(fs::relative(item.path(), fs::path(folder)).generic_string());
    return names;
}

// A log entry as a line of the file, the clipboard and a saved log: one line,
// its inner line breaks as " / ", without the one at its end.
std::string asLine(std::string entry) {
    while (!entry.empty() && entry.back() == '\n')
        entry.pop_back();
    std::string line;
    for (char c : entry)
        line += c == '\n' ? std::string(" / ") : std::string(1, c);
    return line;
}

std::string joined(const std::vector<std::string>& entries, const std::string& separator, bool afterLast) {
    std::string text;
    for (size_t i = 0; i < entries.size(); ++i)
        text += asLine(entries[i]) + (i + 1 < entries.size() || afterLast ? separator : "");
    return text;
}

class LogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::error_code ignored;
        fs::remove_all(fs::path(panelFolder()), ignored);
    }
    void TearDown() override {
        closePanel(window);
        SetEnvironmentVariableA("LOCALAPPDATA", localAppData().c_str());
    }
    HWND window = nullptr;
};

TEST_F(LogFile, KeepsEveryLineInOrderAcrossClearAndRestart) {
    window = openPanel();
    appendLog("ID 80 mmResult 2 bad device\n");
    reportMidiError(MMSYSERR_INVALHANDLE, kSiteInClose); // the port layer adds its line itself
    appendLog("update step 1\nof 3\n");
    const uint8_t request[] = {0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7};
    dumpLine("-> ", request, sizeof request);
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), 6u);
    command(window, IDC_CLEAR_LOGS, BN_CLICKED);
    logLine("Saved Tuning");
    closePanel(window);
    window = reopenPanel("-J");

    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-03-07.log"),
              "2026.03.07 09:05:02 application started \r\n" + kImageKindLine +
                  "\r\n"
                  "ID 80 mmResult 2 bad device\r\n" +
                  asLine(lines[3]) +
                  "\r\n"
                  "update step 1 / of 3\r\n"
                  "->  F0  2C  5A  42  01  F7  \r\n"
                  "2026.03.07 09:05:02 logs deleted\r\n"
                  "2026.03.07 09:05:02 Saved Tuning\r\n"
                  "2026.03.07 09:05:02 application started -J\r\n" +
                  kImageKindLine + "\r\n");
    EXPECT_EQ(lines[3].rfind("ID 38 mmResult 5 ", 0), 0u) << lines[3];
}

TEST_F(LogFile, EachLineGoesToTheFileOfItsOwnDate) {
    window = openPanel();
    setClock(2026, 12, 31, 23, 59, 59);
    logLine("locked to internal reference");
    setClock(2027, 1, 1, 0, 0, 0);
    appendLog("ID 80 mmResult 2 bad device\n"); // no timestamp: the day it is written
    logLine("lost lock to external video reference");
    appendLog("2026.12.31 23:59:59 a line of the old day\n");
    logLine("locked to external video reference");

    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-03-07.log"),
              "2026.03.07 09:05:02 application started \r\n" + kImageKindLine + "\r\n");
    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-12-31.log"),
              "2026.12.31 23:59:59 locked to internal reference\r\n"
              "2026.12.31 23:59:59 a line of the old day\r\n");
    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2027-01-01.log"),
              "ID 80 mmResult 2 bad device\r\n"
              "2027.01.01 00:00:00 lost lock to external video reference\r\n"
              "2027.01.01 00:00:00 locked to external video reference\r\n");
}

TEST_F(LogFile, AFailureIsLoggedOnceAndTheFileIsLeftAlone) {
    const std::string missing = localAppData() + "\\missing\\deeper";
    const std::string today = logsFolder() + "\\zembrax-2026-03-07.log";
    const std::string tomorrow = logsFolder() + "\\zembrax-2026-03-08.log";
    struct Case {
        const char* name;
        std::string localAppData;
        std::string folderInTheWay; // a folder where the file belongs
        std::string fileInTheWay;   // a file where a folder belongs
        std::string failedPath;
        size_t failsAfterLine; // the line after which the failure line stands
        std::set<std::string> filesAfter;
    } cases[] = {
        {"no such folder", missing, "", "", missing + "\\zembrax-panel", 1, {}},
        {"a file where the folder belongs",
         localAppData(),
         "",
         panelFolder(),
         logsFolder(),
         1,
         {"zembrax-panel"}},
        {"the day's file is a folder",
         localAppData(),
         today,
         "",
         today,
         1,
         {"zembrax-panel", "zembrax-panel/logs", "zembrax-panel/logs/zembrax-2026-03-07.log"}},
        {"the next day's file is a folder",
         localAppData(),
         tomorrow,
         "",
         tomorrow,
         3,
         {"zembrax-panel", "zembrax-panel/logs", "zembrax-panel/logs/zembrax-2026-03-07.log",
          "zembrax-panel/logs/zembrax-2026-03-08.log"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (!c.folderInTheWay.empty()) fs::create_directories(fs::path(c.folderInTheWay));
        if (!c.fileInTheWay.empty()) writeFile(c.fileInTheWay, "");
        SetEnvironmentVariableA("LOCALAPPDATA", c.localAppData.c_str());
        window = openPanel();
        logLine("locked to internal reference");
        setClock(2026, 3, 8, 0, 0, 1);
        logLine("lost lock to external video reference");
        appendLog("ID 80 mmResult 2 bad device\n");
        setClock(2026, 3, 7, 23, 59, 59);
        logLine("locked to external video reference");
        std::vector<std::string> lines = logLines(window);
        closePanel(window);
        window = nullptr;
        SetEnvironmentVariableA("LOCALAPPDATA", localAppData().c_str());

        // The lines as without a failure, and one failure line right after the line that failed.
        ASSERT_EQ(lines.size(), 7u);
        std::string failure = lines[c.failsAfterLine + 1];
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(c.failsAfterLine) + 1);
        EXPECT_EQ(lines,
                  (std::vector<std::string>{"2026.03.07 09:05:02 application started ", kImageKindLine,
                                            "2026.03.07 09:05:02 locked to internal reference",
                                            "2026.03.08 00:00:01 lost lock to external video reference",
                                            "ID 80 mmResult 2 bad device\n",
                                            "2026.03.07 23:59:59 locked to external video reference"}));
        std::string expected = "log file not written: " + c.failedPath + ": ";
        EXPECT_EQ(failure.substr(20, expected.size()), expected) << failure;
        EXPECT_GT(failure.size(), 20 + expected.size()) << "no reason given";
        EXPECT_EQ(filesBelow(localAppData()), c.filesAfter);
        if (c.failsAfterLine > 1) {
            EXPECT_EQ(readFile(today), "2026.03.07 09:05:02 application started \r\n" + kImageKindLine +
                                           "\r\n"
                                           "2026.03.07 09:05:02 locked to internal reference\r\n");
        }
    }
}

TEST_F(LogFile, StartDeletesOnlyLogFilesOlderThanNinetyDays) {
    struct {
        const char* name;
        bool folder;
        bool kept;
    } files[] = {
        {"zembrax-2025-12-06.log", false, false}, // 91 days before the clock's 2026-03-07
        {"ZEMBRAX-2024-01-01.LOG", false, false}, {"zembrax-2025-12-07.log", false, true}, // 90 days
        {"zembrax-2026-03-06.log", false, true},  {"zembrax-2025-02-30.log", false, true}, // no such day
        {"zembrax-notes.log", false, true},       {"zembrax-2024-01-01.txt", false, true},
        {"other-2024-01-01.log", false, true},    {"zembrax-2024-01-01.log.old", false, true},
        {"zembrax-2024-01-02.log", true, true},
    };
    fs::create_directories(fs::path(logsFolder()));
    for (const auto& f : files) {
        if (f.folder)
            fs::create_directories(fs::path(logsFolder() + "\\" + f.name));
        else
            writeFile(logsFolder() + "\\" + f.name, "old\r\n");
    }
    window = openPanel();
    for (const auto& f : files)
        EXPECT_EQ(fs::exists(fs::path(logsFolder() + "\\" + f.name)), f.kept) << f.name;
    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-03-07.log"),
              "2026.03.07 09:05:02 application started \r\n" + kImageKindLine + "\r\n");
}

TEST_F(LogFile, SwitchLWritesNothingAndDeletesNothing) {
    struct {
        const char* arguments;
        bool written;
    } cases[] = {{"-L", false}, {"-jl", false}, {"L", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        SetUp();
        fs::create_directories(fs::path(logsFolder()));
        writeFile(logsFolder() + "\\zembrax-2024-01-01.log", "old\r\n");
        window = openPanel(c.arguments);
        logLine("locked to internal reference");
        command(window, IDC_CLEAR_LOGS, BN_CLICKED);
        closePanel(window);
        window = nullptr;
        std::set<std::string> untouched{"logs", "logs/zembrax-2024-01-01.log"};
        std::set<std::string> written{"logs", "logs/zembrax-2026-03-07.log"};
        EXPECT_EQ(filesBelow(panelFolder()), c.written ? written : untouched);
    }
}

// ---- The log's menus ----

class LogMenu : public ::testing::Test {
  protected:
    void SetUp() override { window = openPanel(); }
    void TearDown() override {
        closePanel(window);
        saveDialog = realSaveDialog;
        shellOpen = realShellOpen;
    }
    HWND window = nullptr;
    const SaveDialogFunction realSaveDialog = saveDialog;
    const ShellOpenFunction realShellOpen = shellOpen;
};

std::string clipboardText() {
    std::string text = "<no text>";
    if (!OpenClipboard(nullptr)) return "<clipboard not open>";
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        text = static_cast<const char*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

TEST_F(LogMenu, CopyAllPutsEveryLineOnTheClipboard) {
    std::vector<uint8_t> message(600, 0x11);
    message.front() = 0xF0;
    message.back() = 0xF7;
    dumpLine("<- ", message.data(), message.size());
    appendLog("update step 1\nof 3\n");
    std::vector<std::string> lines = logLines(window);
    ASSERT_EQ(lines.size(), 13u); // the two start lines, ten dump lines, the two-line text
    command(window, IDM_LOG_COPY_ALL);
    EXPECT_EQ(clipboardText(), joined(lines, "\r\n", false));
}

struct SaveDialogSeen {
    HWND owner;
    std::string proposedName;
    std::string defaultExtension;
};
SaveDialogSeen saveDialogSeen;
std::string saveAnswer; // the path the operator picks; empty: cancelled

BOOL WINAPI fakeSaveDialog(LPOPENFILENAMEA dialog) {
    saveDialogSeen = {dialog->hwndOwner, dialog->lpstrFile, dialog->lpstrDefExt ? dialog->lpstrDefExt : ""};
    if (saveAnswer.empty()) return FALSE;
    lstrcpynA(dialog->lpstrFile, saveAnswer.c_str(), static_cast<int>(dialog->nMaxFile));
    return TRUE;
}

// Chooses a log menu entry and reads the message box it opens, if any
// ("" when none opened), closing it with its OK button.
std::string chooseAndReadMessageBox(HWND window, int id) {
    MessageBoxSeen seen =
        answerMessageBox(window, IDOK, [&] { SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); });
    pumpMessages();
    return seen.caption.empty() && seen.text.empty() ? "" : seen.caption + ": " + seen.text;
}

TEST_F(LogMenu, SaveWritesTheLinesAsUtf8AndReportsAFailure) {
    const std::string folder = localAppData() + "\\saved";
    fs::create_directories(fs::path(folder));
    saveDialog = fakeSaveDialog;
    appendLog("ID 80 mmResult 2 bad device\n");
    logLine("Saved Profile 1: Caf\xE9");
    std::vector<std::string> lines = logLines(window);

    // The ANSI text in UTF-8: the profile name's last letter takes two bytes.
    wchar_t wide[64];
    int wideLength = MultiByteToWideChar(CP_ACP, 0, lines[3].c_str(), -1, wide, 64);
    char utf8[128];
    WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, utf8, sizeof utf8, nullptr, nullptr);
    ASSERT_EQ(std::string(utf8).size(), lines[3].size() + 1);
    std::string expected =
        asLine(lines[0]) + "\r\n" + asLine(lines[1]) + "\r\n" + asLine(lines[2]) + "\r\n" + utf8 + "\r\n";

    struct {
        const char* name;
        std::string answer;
        std::string messageBox;
        bool fileMade;
    } cases[] = {
        {"saved", folder + "\\log.txt", "", true},
        {"cancelled", "", "", false},
        {"no such folder", folder + "\\missing\\log.txt", "Save log: " + folder + "\\missing\\log.txt\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        saveAnswer = c.answer;
        std::string shown = chooseAndReadMessageBox(window, IDM_LOG_SAVE_AS);
        EXPECT_EQ(saveDialogSeen.owner, window);
        EXPECT_EQ(saveDialogSeen.proposedName, "zembrax-log-2026-03-07-090502.txt");
        EXPECT_EQ(saveDialogSeen.defaultExtension, "txt");
        EXPECT_EQ(shown.substr(0, c.messageBox.size()), c.messageBox);
        EXPECT_EQ(shown.size() > c.messageBox.size(), !c.messageBox.empty()) << "a reason follows: " << shown;
        if (c.fileMade) {
            EXPECT_EQ(readFile(c.answer), expected);
        }
        EXPECT_EQ(filesBelow(folder),
                  c.fileMade ? std::set<std::string>{"log.txt"} : std::set<std::string>{});
        EXPECT_EQ(logLines(window), lines);
        std::error_code ignored;
        fs::remove(fs::path(folder + "\\log.txt"), ignored);
    }
    fs::remove_all(fs::path(folder));
}

std::vector<std::string> shellOpenSeen;

HINSTANCE WINAPI fakeShellOpen(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show) {
    shellOpenSeen = {verb ? verb : "<none>", file ? file : "<none>", parameters ? parameters : "<none>",
                     folder ? folder : "<none>", std::to_string(show)};
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

TEST_F(LogMenu, OpenLogFolderOpensTheFolderOfTheLogFiles) {
    shellOpen = fakeShellOpen;
    command(window, IDM_LOG_OPEN_FOLDER);
    EXPECT_EQ(shellOpenSeen, (std::vector<std::string>{"open", logsFolder(), "<none>", "<none>",
                                                       std::to_string(SW_SHOWNORMAL)}));
}

struct MenuEntry {
    UINT id;
    std::wstring text;
    bool operator==(const MenuEntry&) const = default;
};

const std::vector<MenuEntry> kEntries{{IDM_LOG_COPY_ALL, L"Copy all"},
                                      {IDM_LOG_SAVE_AS, L"Save log as\u2026"},
                                      {IDM_LOG_OPEN_FOLDER, L"Open log folder"},
                                      {IDM_LOG_CLEAR, L"Clear All Logs"}};

std::vector<MenuEntry> entriesOf(HMENU menu, int first) {
    std::vector<MenuEntry> entries;
    for (int i = first; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
        entries.push_back({GetMenuItemID(menu, i), text});
    }
    return entries;
}

// What the open popup menu showed; the timer that reads it runs inside the
// menu's own message loop and then picks the last entry with keys posted to
// the menu itself, so that it works whatever window has the keyboard focus.
std::vector<MenuEntry> popupSeen;
bool popupOpened;

void CALLBACK readPopupMenu(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND popup = FindWindowA("#32768", nullptr);
    if (!popup || !IsWindowVisible(popup)) return;
    KillTimer(nullptr, timer);
    popupOpened = true;
    popupSeen = entriesOf(reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0)), 0);
    PostMessageA(popup, WM_KEYDOWN, VK_UP, 0); // from no selection to the last entry
    PostMessageA(popup, WM_KEYUP, VK_UP, 0xC0000000);
    PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageA(popup, WM_KEYUP, VK_RETURN, 0xC0000000);
}

// A menu still open after 5 s is closed, so a lost key fails the test
// instead of hanging the suite.
void CALLBACK closeStuckMenu(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    EndMenu();
}

TEST_F(LogMenu, BothMenusCarryTheEntriesAndActOnThem) {
    HMENU system = GetSystemMenu(window, FALSE);
    int count = GetMenuItemCount(system);
    ASSERT_GT(count, 8);
    // A separator and the log's entries, then the unit configuration's three (unit_config_test.cpp).
    EXPECT_EQ(GetMenuState(system, static_cast<UINT>(count - 8), MF_BYPOSITION) & MF_SEPARATOR, MF_SEPARATOR);
    std::vector<MenuEntry> tail = entriesOf(system, count - 7);
    EXPECT_EQ(std::vector<MenuEntry>(tail.begin(), tail.begin() + 4), kEntries);
    appendLog("ID 80 mmResult 2 bad device\n");
    SendMessageA(window, WM_SYSCOMMAND, IDM_LOG_CLEAR, 0);
    EXPECT_EQ(logLines(window), std::vector<std::string>{"2026.03.07 09:05:02 logs deleted"});

    HWND log = GetDlgItem(window, IDC_LOG);
    RECT area;
    GetWindowRect(log, &area);
    struct {
        const char* name;
        HWND target;
        LPARAM where;
        bool opens;
    } cases[] = {
        {"right-click", log, MAKELPARAM(area.left + 20, area.top + 10), true},
        {"context-menu key", log, -1, true},
        {"another control", GetDlgItem(window, IDC_STATUS), MAKELPARAM(area.left + 20, area.top + 10), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        appendLog("ID 80 mmResult 2 bad device\n");
        popupSeen.clear();
        popupOpened = false;
        UINT_PTR timer = SetTimer(nullptr, 0, 20, readPopupMenu);
        UINT_PTR guard = SetTimer(nullptr, 0, 5000, closeStuckMenu);
        SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(c.target), c.where);
        KillTimer(nullptr, timer);
        KillTimer(nullptr, guard);
        pumpMessages(); // the chosen entry arrives as WM_COMMAND
        EXPECT_EQ(popupOpened, c.opens);
        if (!c.opens) continue;
        EXPECT_EQ(popupSeen, kEntries);
        EXPECT_EQ(logLines(window), std::vector<std::string>{"2026.03.07 09:05:02 logs deleted"});
    }
}

} // namespace
