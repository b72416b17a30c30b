// The event log beyond the window: the daily log file (order, days, failures,
// pruning, switch L) and the log's menus (Copy all, Save log as, Open log
// folder, Clear All Logs) in the context menu and the system menu.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/log_file.h"
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

// A file's (or folder's) last write at noon, local time, `days` days before
// the test clock's 2026-03-07.
void setWrittenDaysBefore(const std::string& path, int days) {
    SYSTEMTIME noon{2026, 3, 0, 7, 12, 0, 0, 0};
    FILETIME local;
    SystemTimeToFileTime(&noon, &local);
    ULARGE_INTEGER ticks;
    ticks.LowPart = local.dwLowDateTime;
    ticks.HighPart = local.dwHighDateTime;
    ticks.QuadPart -= static_cast<ULONGLONG>(days) * 864000000000ULL;
    local.dwLowDateTime = ticks.LowPart;
    local.dwHighDateTime = ticks.HighPart;
    FILETIME utc;
    LocalFileTimeToFileTime(&local, &utc);
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &utc)) << path;
    CloseHandle(file);
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
    reportMidiError(MMSYSERR_INVALHANDLE, 38); // the port layer adds its line itself
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

// A failure line: "log file not written: <path>: <reason>".
void expectFailureLine(const std::string& line, const std::string& stamp, const std::string& path) {
    std::string expected = stamp + "log file not written: " + path + ": ";
    EXPECT_EQ(line.substr(0, expected.size()), expected) << line;
    EXPECT_GT(line.size(), expected.size()) << "no reason given";
}

TEST_F(LogFile, AFailureIsLoggedOnceAndTheFileTriedAgainLater) {
    const std::string missing = localAppData() + "\\missing\\deeper";
    const std::string today = logsFolder() + "\\zembrax-2026-03-07.log";
    const std::string tomorrow = logsFolder() + "\\zembrax-2026-03-08.log";
    const std::string start = "2026.03.07 09:05:02 ";
    const std::string night = "2026.03.08 00:00:01 ";
    const std::string late = "2026.03.07 23:59:59 ";
    const std::string fail = "FAIL ";
    // Each line as logged; "FAIL <stamp>|<path>" stands for a failure line.
    struct Case {
        const char* name;
        std::string localAppData;
        std::string folderInTheWay; // a folder where the file belongs
        std::string fileInTheWay;   // a file where a folder belongs
        std::vector<std::string> lines;
        std::set<std::string> filesAfter;
    } cases[] = {
        // Every later try fails again, quietly.
        {"no such folder",
         missing,
         "",
         "",
         {start + "application started ", kImageKindLine, fail + start + "|" + missing + "\\zembrax-panel",
          start + "locked to internal reference", night + "lost lock to external video reference",
          "ID 80 mmResult 2 bad device\n", late + "locked to external video reference"},
         {}},
        {"a file where the folder belongs",
         localAppData(),
         "",
         panelFolder(),
         {start + "application started ", kImageKindLine, fail + start + "|" + logsFolder(),
          start + "locked to internal reference", night + "lost lock to external video reference",
          "ID 80 mmResult 2 bad device\n", late + "locked to external video reference"},
         {"zembrax-panel"}},
        // The next day's file works: resumed there; the day before fails anew.
        {"the day's file is a folder",
         localAppData(),
         today,
         "",
         {start + "application started ", kImageKindLine, fail + start + "|" + today,
          start + "locked to internal reference", night + "lost lock to external video reference",
          night + "log file resumed: " + tomorrow, "ID 80 mmResult 2 bad device\n",
          late + "locked to external video reference", fail + late + "|" + today},
         {"zembrax-panel", "zembrax-panel/logs", "zembrax-panel/logs/zembrax-2026-03-07.log",
          "zembrax-panel/logs/zembrax-2026-03-08.log"}},
        // A clock set back counts as a minute gone: the day before's file is tried again and works.
        {"the next day's file is a folder",
         localAppData(),
         tomorrow,
         "",
         {start + "application started ", kImageKindLine, start + "locked to internal reference",
          night + "lost lock to external video reference", fail + night + "|" + tomorrow,
          "ID 80 mmResult 2 bad device\n", late + "locked to external video reference",
          late + "log file resumed: " + today},
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

        ASSERT_EQ(lines.size(), c.lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& want = c.lines[i];
            if (want.rfind(fail, 0) == 0) {
                size_t bar = want.find('|');
                expectFailureLine(lines[i], want.substr(fail.size(), bar - fail.size()),
                                  want.substr(bar + 1));
            } else {
                EXPECT_EQ(lines[i], want);
            }
        }
        EXPECT_EQ(filesBelow(localAppData()), c.filesAfter);
    }
    // What reached the files in the last case: every line but the failure's.
    EXPECT_EQ(readFile(today), start + "application started \r\n" + kImageKindLine + "\r\n" + start +
                                   "locked to internal reference\r\n" + late +
                                   "locked to external video reference\r\n" + late +
                                   "log file resumed: " + today + "\r\n");
}

TEST_F(LogFile, AFailedFileIsTriedAgainAtMostOnceAMinute) {
    // At midnight another program holds the new day's file: no sharing.
    window = openPanel();
    const std::string tomorrow = logsFolder() + "\\zembrax-2026-03-08.log";
    HANDLE held = CreateFileA(tomorrow.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const struct {
        WORD minute, second;
        const char* text;
        bool release;                  // the other program lets go first
        std::vector<std::string> more; // lines after the text's own
    } steps[] = {
        {0, 0, "A", false, {"FAIL"}},                          // the failure, once
        {0, 59, "B", false, {}},                               // 59 s: not tried
        {1, 0, "C", false, {}},                                // 60 s: tried, fails again quietly
        {1, 59, "D", true, {}},                                // free now, but 59 s after that try
        {2, 0, "E", false, {"log file resumed: " + tomorrow}}, // 60 s: tried, works
        {2, 1, "F", false, {}},                                //
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.text);
        if (step.release) CloseHandle(held);
        setClock(2026, 3, 8, 0, step.minute, step.second);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2026.03.08 00:%02u:%02u ", step.minute, step.second);
        size_t before = logLines(window).size();
        logLine("%s", step.text);
        std::vector<std::string> lines = logLines(window);
        ASSERT_EQ(lines.size(), before + 1 + step.more.size());
        EXPECT_EQ(lines[before], stamp + std::string(step.text));
        for (size_t i = 0; i < step.more.size(); ++i) {
            if (step.more[i] == "FAIL")
                expectFailureLine(lines[before + 1 + i], stamp, tomorrow);
            else
                EXPECT_EQ(lines[before + 1 + i], stamp + step.more[i]);
        }
    }
    // The lines in between stay in the list only.
    EXPECT_EQ(readFile(tomorrow), "2026.03.08 00:02:00 E\r\n2026.03.08 00:02:00 log file resumed: " +
                                      tomorrow + "\r\n2026.03.08 00:02:01 F\r\n");
}

TEST_F(LogFile, ALineCutShortIsEndedBeforeTheNextOne) {
    const std::string today = logsFolder() + "\\zembrax-2026-03-07.log";
    const struct {
        std::string before, after; // the file's bytes before the start, and where the new lines begin
    } cases[] = {
        {"", ""},
        {"x", "x\r\n"},
        {"2026.03.07 09:00:00 cut sh", "2026.03.07 09:00:00 cut sh\r\n"},
        {"whole\r\n", "whole\r\n"},
        {"line feed only\n", "line feed only\n\r\n"},
        {"carriage return only\r", "carriage return only\r\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        SetUp();
        fs::create_directories(fs::path(logsFolder()));
        writeFile(today, c.before);
        window = openPanel();
        closePanel(window);
        window = nullptr;
        EXPECT_EQ(readFile(today),
                  c.after + "2026.03.07 09:05:02 application started \r\n" + kImageKindLine + "\r\n");
    }
}

TEST_F(LogFile, StartDeletesOnlyFilesOldByNameAndByLastWrite) {
    struct {
        const char* name;
        int writtenDaysAgo; // before the clock's 2026-03-07
        bool folder;
        bool kept;
    } files[] = {
        {"zembrax-2025-12-06.log", 91, false, false}, // 91 days by name and by last write
        {"ZEMBRAX-2024-01-01.LOG", 800, false, false},
        {"zembrax-2025-12-07.log", 91, false, true},  // 90 days by name
        {"zembrax-2024-01-02.log", 90, false, true},  // written 90 days ago
        {"zembrax-2024-01-03.log", 91, false, false}, //
        {"zembrax-2024-01-04.log", 0, false, true},   // written today: the clock may be wrong
        {"zembrax-2026-03-06.log", 1, false, true},
        {"zembrax-2025-02-30.log", 800, false, true}, // no such day
        {"zembrax-notes.log", 800, false, true},
        {"zembrax-2024-01-01.txt", 800, false, true},
        {"other-2024-01-01.log", 800, false, true},
        {"zembrax-2024-01-01.log.old", 800, false, true},
        {"zembrax-2024-01-05.log", 800, true, true},
    };
    fs::create_directories(fs::path(logsFolder()));
    for (const auto& f : files) {
        std::string path = logsFolder() + "\\" + f.name;
        if (f.folder)
            fs::create_directories(fs::path(path));
        else
            writeFile(path, "old\r\n");
        setWrittenDaysBefore(path, f.writtenDaysAgo);
    }
    window = openPanel();
    for (const auto& f : files)
        EXPECT_EQ(fs::exists(fs::path(logsFolder() + "\\" + f.name)), f.kept) << f.name;
    EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-03-07.log"),
              "2026.03.07 09:05:02 application started \r\n" + kImageKindLine + "\r\n");
}

DWORD WINAPI attributesOfAReparsePoint(LPCSTR path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes == INVALID_FILE_ATTRIBUTES ? attributes : attributes | FILE_ATTRIBUTE_REPARSE_POINT;
}

TEST_F(LogFile, AFileDatedAfterTodayOrALinkedFolderStopsThePruning) {
    const std::string old = logsFolder() + "\\zembrax-2024-01-01.log";
    const struct {
        const char* name;
        const char* newest; // a file the clock says is from the future, or today's
        bool linkedFolder;  // the logs folder is a junction or a link
        bool oldKept;
        const char* line; // the line after the start lines
    } cases[] = {
        {"dated today", "zembrax-2026-03-07.log", false, false, nullptr},
        {"dated tomorrow", "zembrax-2026-03-08.log", false, true,
         "old log files kept: zembrax-2026-03-08.log is dated after today"},
        {"years ahead", "zembrax-2031-01-01.log", false, true,
         "old log files kept: zembrax-2031-01-01.log is dated after today"},
        {"linked folder", "zembrax-2026-03-07.log", true, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fs::create_directories(fs::path(logsFolder()));
        writeFile(old, "old\r\n");
        setWrittenDaysBefore(old, 800);
        writeFile(logsFolder() + "\\" + c.newest, "");
        if (c.linkedFolder) logFolderAttributes = attributesOfAReparsePoint;
        window = openPanel();
        logFolderAttributes = GetFileAttributesA;
        EXPECT_EQ(fs::exists(fs::path(old)), c.oldKept);
        std::vector<std::string> expected{"2026.03.07 09:05:02 application started ", kImageKindLine};
        if (c.line) expected.push_back(std::string("2026.03.07 09:05:02 ") + c.line);
        EXPECT_EQ(logLines(window), expected);
        std::string file;
        for (const std::string& line : expected)
            file += line + "\r\n";
        EXPECT_EQ(readFile(logsFolder() + "\\zembrax-2026-03-07.log"), file);
        closePanel(window);
        window = nullptr;
    }
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
        setWrittenDaysBefore(logsFolder() + "\\zembrax-2024-01-01.log", 800);
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
        saveWrite = realSaveWrite;
        shellOpen = realShellOpen;
    }
    HWND window = nullptr;
    const SaveDialogFunction realSaveDialog = saveDialog;
    const FileWriteFunction realSaveWrite = saveWrite;
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

// Writes as WriteFile does, but fails its `failAt`-th call (counted from 1;
// 0: never) with a full disk.
int writeCalls;
int failAt;
BOOL WINAPI failingWrite(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    if (++writeCalls == failAt) {
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return WriteFile(file, bytes, length, written, overlapped);
}

TEST_F(LogMenu, SaveOverAFileReplacesItOnlyWhenTheNewOneIsWhole) {
    const std::string folder = localAppData() + "\\saved";
    const std::string target = folder + "\\log.txt";
    saveDialog = fakeSaveDialog;
    saveWrite = failingWrite;
    saveAnswer = target;
    std::string expected;
    for (const std::string& line : logLines(window))
        expected += asLine(line) + "\r\n";
    const struct {
        const char* name;
        int failAt;
        bool targetIsFolder;
        bool replaced;
    } cases[] = {
        {"written whole", 0, false, true},
        {"the first line fails", 1, false, false},
        {"half-way", 2, false, false},
        {"the file cannot be replaced: a folder of that name", 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(fs::path(folder), ignored);
        fs::create_directories(fs::path(folder));
        if (c.targetIsFolder)
            fs::create_directories(fs::path(target));
        else
            writeFile(target, "the old log\r\n");
        writeCalls = 0;
        failAt = c.failAt;
        std::string shown = chooseAndReadMessageBox(window, IDM_LOG_SAVE_AS);
        if (c.replaced) {
            EXPECT_EQ(shown, "");
            EXPECT_EQ(readFile(target), expected);
        } else {
            EXPECT_EQ(shown.substr(0, 11 + target.size()), "Save log: " + target + "\n") << shown;
            EXPECT_GT(shown.size(), 11 + target.size()) << "a reason follows";
            EXPECT_EQ(fs::is_directory(fs::path(target)), c.targetIsFolder);
            if (!c.targetIsFolder) {
                EXPECT_EQ(readFile(target), "the old log\r\n");
            }
        }
        EXPECT_EQ(filesBelow(folder), std::set<std::string>{"log.txt"}); // no temporary file left
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
