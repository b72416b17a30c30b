// The log list's bound and the daily log file.
//
// Design note. Every line reaches list 303 through LB_ADDSTRING, whoever
// writes it (appendLog, logLine, dumpLine, the port layer's error lines), so
// the log puts a window procedure of its own in front of the list's: before
// an addition it drops the oldest line once the list holds kLogLineLimit, and
// after it appends the line to the day's file. The file is opened for
// appending only (FILE_APPEND_DATA), each line is one WriteFile followed by
// FlushFileBuffers, so a crash or power loss keeps every line written before
// it, and a second panel writing the same day's file cannot tear a line
// (with switch M each panel's lines carry its process id). A
// line's date comes from its own timestamp; a line without one (diagnostics,
// hex dumps) goes to the file of the day it is written. A file whose last
// bytes are not CR LF (a write that fell short) gets one before the first
// line it is opened for.
//
// A failure (the folder or the file cannot be made or opened, a write falls
// short) is logged once; the file is closed and tried again with a later
// line, at most once a minute and quietly, until it works: then "log file
// resumed: <path>". The lines meanwhile stay in the list only.
//
// At start, old log files are deleted only when both the date in their name
// and their last write are more than kLogFileKeepDays days before today; a
// file dated after today stops that (the clock is not to be trusted), and a
// logs folder that is a junction or link is not pruned at all.
#include "log_file.h"

#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "log.h"
#include "resource.h"

FileAttributesFunction logFolderAttributes = GetFileAttributesA;

namespace {

constexpr long long kSecondsPerDay = 24 * 60 * 60;

// Formats a path; false when it does not fit (the cut text is not to be used).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool formatPath(char (&path)[MAX_PATH], const char* format, ...) {
    va_list values;
    va_start(values, format);
    int used = std::vsnprintf(path, sizeof path, format, values);
    va_end(values);
    return used >= 0 && used < static_cast<int>(sizeof path);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int twoDigits(const char* p) {
    return 10 * (p[0] - '0') + (p[1] - '0');
}

// The date of a timestamped line: "year.MM.dd hh:mm:ss " at its start (the
// year with 1 to 5 digits, as logLine writes it). `stamp` receives the
// length of that timestamp with its blank.
bool dateOfLine(const char* text, SYSTEMTIME& date, std::size_t& stamp) {
    unsigned year = 0;
    int i = 0;
    while (i < 5 && isDigit(text[i]))
        year = 10 * year + static_cast<unsigned>(text[i++] - '0');
    if (i == 0 || year > 0xFFFF || text[i] != '.') return false;
    const char* p = text + i + 1;
    constexpr char kForm[] = "00.00 00:00:00 ";
    for (int k = 0; kForm[k]; ++k)
        if (kForm[k] == '0' ? !isDigit(p[k]) : p[k] != kForm[k]) return false;
    date = SYSTEMTIME{};
    date.wYear = static_cast<WORD>(year);
    date.wMonth = static_cast<WORD>(twoDigits(p));
    date.wDay = static_cast<WORD>(twoDigits(p + 3));
    stamp = static_cast<std::size_t>(i) + sizeof kForm;
    return true;
}

// The date in a log file's name, "zembrax-YYYY-MM-DD.log" in any case.
bool dateOfFileName(const char* name, SYSTEMTIME& date) {
    constexpr char kForm[] = "zembrax-0000-00-00.log";
    if (std::strlen(name) != sizeof kForm - 1) return false;
    for (std::size_t k = 0; kForm[k]; ++k) {
        char c = name[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (kForm[k] == '0' ? !isDigit(c) : c != kForm[k]) return false;
    }
    date = SYSTEMTIME{};
    date.wYear = static_cast<WORD>(100 * twoDigits(name + 8) + twoDigits(name + 10));
    date.wMonth = static_cast<WORD>(twoDigits(name + 13));
    date.wDay = static_cast<WORD>(twoDigits(name + 16));
    return true;
}

// Days since 1601-01-01; false for a date that does not exist.
bool dayNumber(const SYSTEMTIME& date, long long& days) {
    SYSTEMTIME day{};
    day.wYear = date.wYear;
    day.wMonth = date.wMonth;
    day.wDay = date.wDay;
    FILETIME time;
    if (!SystemTimeToFileTime(&day, &time)) return false;
    days = fileTimeSeconds(time) / kSecondsPerDay;
    return true;
}

bool sameDay(const SYSTEMTIME& date) {
    return date.wYear == panel.logFileYear && date.wMonth == panel.logFileMonth &&
           date.wDay == panel.logFileDay;
}

void closeLogFile() {
    if (panel.logFile) CloseHandle(panel.logFile);
    panel.logFile = nullptr;
}

// The file is closed and tried again at most once a minute; only the first
// failure of a run of them is logged.
void fail(const char* what, DWORD error) {
    closeLogFile();
    panel.logFileFailedAt = clockSeconds();
    if (panel.logFileState == LogFileState::Failed) return;
    panel.logFileState = LogFileState::Failed;
    char reason[128];
    describeError(error, reason, sizeof reason);
    logLine("log file not written: %s: %s", what, reason);
}

// A minute since the last try; a clock set back counts as a minute gone.
bool retryDue() {
    const long long since = clockSeconds() - panel.logFileFailedAt;
    return since < 0 || since >= kLogFileRetrySeconds;
}

void copyPath(char (&to)[MAX_PATH], const char* from) {
    formatPath(to, "%s", from); // a path that fits no MAX_PATH is shown cut
}

DWORD makeFolder(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return 0;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? 0 : error;
}

// The logs folder and its parent, made where missing. 0, or the error with
// the path it concerns in `where`.
DWORD makeLogFolder(char (&where)[MAX_PATH]) {
    char parent[MAX_PATH];
    copyPath(parent, panel.logFolder);
    char* last = std::strrchr(parent, '\\');
    if (!panel.logFolder[0] || !last) {
        copyPath(where, "%LOCALAPPDATA%");
        return ERROR_PATH_NOT_FOUND;
    }
    *last = '\0';
    for (const char* path : {static_cast<const char*>(parent), static_cast<const char*>(panel.logFolder)}) {
        if (DWORD error = makeFolder(path)) {
            copyPath(where, path);
            return error;
        }
    }
    DWORD attributes = GetFileAttributesA(panel.logFolder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        copyPath(where, panel.logFolder);
        return ERROR_DIRECTORY;
    }
    return 0;
}

// The path of the day's file; false (and the folder in `path`) when it does not fit.
bool logFilePath(WORD year, WORD month, WORD day, char (&path)[MAX_PATH]) {
    if (formatPath(path, "%s\\zembrax-%04u-%02u-%02u.log", panel.logFolder, year, month, day)) return true;
    copyPath(path, panel.logFolder);
    return false;
}

// True unless the file's last bytes are something other than CR LF.
bool endsWithLineBreak(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true; // nothing to read: nothing to mend
    LARGE_INTEGER size{};
    bool ends = true;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        LARGE_INTEGER back{};
        back.QuadPart = size.QuadPart >= 2 ? -2 : -1;
        char tail[2] = {};
        DWORD read = 0;
        ends = SetFilePointerEx(file, back, nullptr, FILE_END) && ReadFile(file, tail, 2, &read, nullptr) &&
               read == 2 && tail[0] == '\r' && tail[1] == '\n';
    }
    CloseHandle(file);
    return ends;
}

// Opens the day's file for appending, its last line ended; 0 or the error.
DWORD openLogFile(const SYSTEMTIME& date, char (&path)[MAX_PATH]) {
    closeLogFile();
    if (!logFilePath(date.wYear, date.wMonth, date.wDay, path)) return ERROR_FILENAME_EXCED_RANGE;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    if (!endsWithLineBreak(path)) {
        DWORD written = 0;
        if (!WriteFile(file, "\r\n", 2, &written, nullptr) || written != 2) {
            DWORD error = GetLastError();
            CloseHandle(file);
            return error ? error : ERROR_WRITE_FAULT;
        }
    }
    panel.logFile = file;
    panel.logFileYear = date.wYear;
    panel.logFileMonth = date.wMonth;
    panel.logFileDay = date.wDay;
    return 0;
}

void writeToLogFile(const char* entry) {
    const bool retrying = panel.logFileState == LogFileState::Failed;
    if (retrying ? !retryDue() : panel.logFileState != LogFileState::Writing) return;
    SYSTEMTIME date;
    std::size_t stamp = 0;
    if (!dateOfLine(entry, date, stamp)) localTimeSource(&date);
    char path[MAX_PATH];
    if (retrying || !panel.logFile || !sameDay(date)) {
        char where[MAX_PATH];
        if (DWORD error = makeLogFolder(where)) {
            fail(where, error);
            return;
        }
        if (DWORD error = openLogFile(date, path)) {
            fail(path, error);
            return;
        }
    } else {
        logFilePath(panel.logFileYear, panel.logFileMonth, panel.logFileDay, path);
    }
    // With switch M the process id follows the timestamp (or starts a line
    // without one), so that the lines of two panels in one file can be told apart.
    char mark[kProcessMarkSize] = "";
    int markLength = 0;
    if (panel.multiplePanels)
        markLength =
            std::snprintf(mark, sizeof mark, "[%lu] ", static_cast<unsigned long>(GetCurrentProcessId()));
    char bytes[kProcessMarkSize + kLogUtf8LineSize];
    DWORD length = static_cast<DWORD>(logEntryAsUtf8(entry, bytes + markLength) + markLength);
    std::memmove(bytes, bytes + markLength, stamp); // the timestamp is ASCII: as many bytes as characters
    std::memcpy(bytes + stamp, mark, static_cast<std::size_t>(markLength));
    DWORD written = 0;
    if (!WriteFile(panel.logFile, bytes, length, &written, nullptr) || written != length ||
        !FlushFileBuffers(panel.logFile)) {
        DWORD error = GetLastError();
        fail(path, error ? error : ERROR_WRITE_FAULT);
        return;
    }
    if (retrying) {
        panel.logFileState = LogFileState::Writing;
        logLine("log file resumed: %s", path);
    }
}

LRESULT CALLBACK logListProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != LB_ADDSTRING)
        return CallWindowProcA(panel.logListProcedure, list, message, wParam, lParam);
    // No entry is longer than a line of the text buffer, whoever writes it.
    const char* entry = reinterpret_cast<const char*>(lParam);
    char cut[kTextBufferSize];
    if (entry && strnlen(entry, kTextBufferSize) == kTextBufferSize) {
        std::memcpy(cut, entry, kTextBufferSize - 1);
        cut[kTextBufferSize - 1] = '\0';
        entry = cut;
    }
    if (CallWindowProcA(panel.logListProcedure, list, LB_GETCOUNT, 0, 0) >= kLogLineLimit)
        CallWindowProcA(panel.logListProcedure, list, LB_DELETESTRING, 0, 0);
    LRESULT index =
        CallWindowProcA(panel.logListProcedure, list, LB_ADDSTRING, wParam, reinterpret_cast<LPARAM>(entry));
    if (index >= 0 && entry) writeToLogFile(entry);
    return index;
}

// %LOCALAPPDATA%\zembrax-panel\logs; empty when there is no such folder.
void findLogFolder() {
    char base[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (length == 0 || length >= sizeof base) {
        if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK)
            base[0] = 0;
        length = static_cast<DWORD>(std::strlen(base));
    }
    while (length > 0 && (base[length - 1] == '\\' || base[length - 1] == '/'))
        base[--length] = '\0';
    panel.logFolder[0] = '\0';
    if (length == 0) return;
    if (!formatPath(panel.logFolder, "%s\\zembrax-panel\\logs", base)) panel.logFolder[0] = '\0';
}

// Calls visit(found, day) for every log file of the folder (a name of the
// form zembrax-YYYY-MM-DD.log with a date that exists; no folders, no links)
// until it returns false.
template <typename Visit>
void forEachLogFile(Visit visit) {
    char pattern[MAX_PATH];
    if (!formatPath(pattern, "%s\\zembrax-*.log", panel.logFolder)) return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        SYSTEMTIME date;
        long long day = 0;
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (!dateOfFileName(found.cFileName, date) || !dayNumber(date, day)) continue;
        if (!visit(found, day)) break;
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The local day of a file's last write; false if it cannot be had.
bool lastWriteDay(const WIN32_FIND_DATAA& found, long long& day) {
    FILETIME local;
    if (!FileTimeToLocalFileTime(&found.ftLastWriteTime, &local)) return false;
    day = fileTimeSeconds(local) / kSecondsPerDay;
    return true;
}

// Deletes the log files that are more than kLogFileKeepDays days older than
// today both by the date in their name and by their last write. Other files
// are left alone; so is everything when the folder is a reparse point, or
// when a file is dated after today: false then, with that file's name.
bool deleteOldLogFiles(char (&future)[MAX_PATH]) {
    future[0] = '\0';
    DWORD attributes = logFolderAttributes(panel.logFolder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    SYSTEMTIME now;
    localTimeSource(&now);
    long long today = 0;
    if (!dayNumber(now, today)) return true;
    forEachLogFile([&](const WIN32_FIND_DATAA& found, long long day) {
        if (day > today) copyPath(future, found.cFileName);
        return day <= today;
    });
    if (future[0]) return false;
    forEachLogFile([&](const WIN32_FIND_DATAA& found, long long day) {
        long long written = 0;
        if (today - day <= kLogFileKeepDays || !lastWriteDay(found, written) ||
            today - written <= kLogFileKeepDays)
            return true;
        char path[MAX_PATH];
        if (formatPath(path, "%s\\%s", panel.logFolder, found.cFileName))
            DeleteFileA(path); // one that cannot go now is tried again at the next start
        return true;
    });
    return true;
}

} // namespace

void startLogFile() {
    panel.logListProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(control(IDC_LOG), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(logListProcedure)));
    findLogFolder();
    if (panel.logFileOff) {
        panel.logFileState = LogFileState::Off;
        return;
    }
    panel.logFileState = LogFileState::Writing;
    char where[MAX_PATH];
    if (DWORD error = makeLogFolder(where)) {
        fail(where, error);
        return;
    }
    char future[MAX_PATH];
    bool pruned = deleteOldLogFiles(future);
    // The lines written before the switches were known.
    int count = static_cast<int>(SendMessageA(control(IDC_LOG), LB_GETCOUNT, 0, 0));
    char entry[kTextBufferSize];
    for (int i = 0; i < count && panel.logFileState == LogFileState::Writing; ++i)
        if (readLogEntry(i, entry)) writeToLogFile(entry);
    if (!pruned) logLine("old log files kept: %s is dated after today", future);
}

void stopLogFile() {
    closeLogFile();
    panel.logFileState = LogFileState::NotStarted;
}

std::size_t logEntryAsLine(const char* entry, char* line) {
    std::size_t end = strnlen(entry, kTextBufferSize - 1);
    while (end > 0 && (entry[end - 1] == '\n' || entry[end - 1] == '\r'))
        --end;
    std::size_t used = 0;
    for (std::size_t i = 0; i < end; ++i) {
        char c = entry[i];
        if (c == '\r' && entry[i + 1] == '\n') continue; // CR LF is one line break
        if (c == '\n' || c == '\r') {
            std::memcpy(line + used, " / ", 3);
            used += 3;
        } else {
            line[used++] = c;
        }
    }
    line[used] = '\0';
    return used;
}

std::size_t logEntryAsUtf8(const char* entry, char* bytes) {
    char line[kLogLineSize];
    int length = static_cast<int>(logEntryAsLine(entry, line));
    int used = 0;
    if (length > 0) {
        wchar_t wide[kLogLineSize];
        int characters = MultiByteToWideChar(CP_ACP, 0, line, length, wide, static_cast<int>(kLogLineSize));
        used = WideCharToMultiByte(CP_UTF8, 0, wide, characters, bytes,
                                   static_cast<int>(kLogUtf8LineSize - 2), nullptr, nullptr);
    }
    bytes[used] = '\r';
    bytes[used + 1] = '\n';
    return static_cast<std::size_t>(used) + 2;
}

bool readLogEntry(int index, char (&entry)[kTextBufferSize]) {
    HWND list = control(IDC_LOG);
    entry[0] = '\0';
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0 || length >= kTextBufferSize) return false;
    return SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry)) >= 0;
}

void describeError(unsigned long error, char* text, std::size_t size) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text, static_cast<DWORD>(size), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        --length;
    if (length == 0)
        std::snprintf(text, size, "error %lu", error);
    else
        text[length] = '\0';
}
