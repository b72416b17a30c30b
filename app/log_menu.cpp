// The log's menu: the context menu of list 303 and the same entries in the
// system menu; copying the log to the clipboard, saving it as a UTF-8 text
// file, opening the log files' folder, and Clear All Logs.
#include "log_menu.h"

#include <objbase.h>
#include <shellapi.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "../core/clock.h"
#include "../core/log.h"
#include "../core/log_file.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "display_scale.h"

SaveDialogFunction saveDialog = GetSaveFileNameA;
FileWriteFunction saveWrite = WriteFile;
ShellOpenFunction shellOpen = ShellExecuteA;

namespace {

struct LogMenuEntry {
    UINT id;
    const wchar_t* text;
};

constexpr std::array<LogMenuEntry, 4> kLogMenuEntries{{
    {IDM_LOG_COPY_ALL, L"Copy all"},
    {IDM_LOG_SAVE_AS, L"Save log as\u2026"},
    {IDM_LOG_OPEN_FOLDER, L"Open log folder"},
    {IDM_LOG_CLEAR, L"Clear All Logs"},
}};

void appendEntries(HMENU menu) {
    for (const LogMenuEntry& entry : kLogMenuEntries)
        AppendMenuW(menu, MF_STRING, entry.id, entry.text);
}

void showFailure(const char* caption, const char* what, unsigned long error) {
    char reason[160];
    describeError(error, reason, sizeof reason);
    char text[MAX_PATH + 256];
    std::snprintf(text, sizeof text, "%s\n%s", what, reason);
    MessageBoxA(panel.window, text, caption, MB_OK | MB_ICONERROR);
}

int logEntryCount() {
    LRESULT count = SendMessageA(control(IDC_LOG), LB_GETCOUNT, 0, 0);
    return count > 0 ? static_cast<int>(count) : 0;
}

// CF_TEXT: every line, CR LF between lines.
void copyAll() {
    int count = logEntryCount();
    char entry[kTextBufferSize];
    char line[kLogLineSize];
    SIZE_T size = 1;
    for (int i = 0; i < count; ++i) {
        readLogEntry(i, entry);
        size += logEntryAsLine(entry, line) + (i > 0 ? 2 : 0);
    }
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    char* text = memory ? static_cast<char*>(GlobalLock(memory)) : nullptr;
    if (!text) {
        DWORD error = GetLastError();
        if (memory) GlobalFree(memory);
        showFailure("Copy all", "The log was not copied.", error);
        return;
    }
    SIZE_T used = 0;
    for (int i = 0; i < count; ++i) {
        readLogEntry(i, entry);
        std::size_t length = logEntryAsLine(entry, line);
        if (used + length + (i > 0 ? 2 : 0) >= size) break;
        if (i > 0) {
            text[used++] = '\r';
            text[used++] = '\n';
        }
        std::memcpy(text + used, line, length);
        used += length;
    }
    text[used] = '\0';
    GlobalUnlock(memory);

    // Another program may hold the clipboard for a moment.
    bool open = false;
    for (int attempt = 0; attempt < 5 && !(open = OpenClipboard(panel.window)); ++attempt)
        Sleep(20);
    DWORD error = open ? 0 : GetLastError();
    if (open) {
        EmptyClipboard();
        if (!SetClipboardData(CF_TEXT, memory)) error = GetLastError() ? GetLastError() : ERROR_INVALID_DATA;
        CloseClipboard();
    }
    if (!open || error) {
        GlobalFree(memory); // the clipboard did not take it
        showFailure("Copy all", "The log was not copied to the clipboard.", error);
    }
}

// The list's lines as a UTF-8 text file, CR LF after each line. They go into
// "<path>.tmp" first, flushed to the disk, which then replaces the chosen file
// (MoveFileEx with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH). A
// failure leaves a file already there as it was and deletes only the temporary one.
void saveLogAs() {
    SYSTEMTIME now;
    localTimeSource(&now);
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "zembrax-log-%04u-%02u-%02u-%02u%02u%02u.txt", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = panel.window;
    dialog.lpstrFilter = "Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.lpstrDefExt = "txt";
    dialog.Flags =
        OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!saveDialog(&dialog)) {
        DWORD dialogError = CommDlgExtendedError(); // 0: cancelled, nothing to do
        if (dialogError) {
            char text[64];
            std::snprintf(text, sizeof text, "The Save dialog failed (error 0x%04lX).", dialogError);
            MessageBoxA(panel.window, text, "Save log", MB_OK | MB_ICONERROR);
        }
        return;
    }

    char temporary[MAX_PATH];
    int used = std::snprintf(temporary, sizeof temporary, "%s.tmp", path);
    if (used < 0 || used >= static_cast<int>(sizeof temporary)) {
        showFailure("Save log", path, ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    HANDLE file =
        CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        showFailure("Save log", path, GetLastError());
        return;
    }
    DWORD error = 0;
    int count = logEntryCount();
    char entry[kTextBufferSize];
    char bytes[kLogUtf8LineSize];
    for (int i = 0; i < count && !error; ++i) {
        readLogEntry(i, entry);
        DWORD length = static_cast<DWORD>(logEntryAsUtf8(entry, bytes));
        DWORD written = 0;
        if (!saveWrite(file, bytes, length, &written, nullptr) || written != length)
            error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    }
    if (!error && !FlushFileBuffers(file)) error = GetLastError();
    if (!CloseHandle(file) && !error) error = GetLastError();
    if (!error && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error) {
        DeleteFileA(temporary);
        showFailure("Save log", path, error);
    }
}

void openLogFolder() {
    if (!panel.logFolder[0]) {
        showFailure("Open log folder", "There is no local application data folder.", ERROR_PATH_NOT_FOUND);
        return;
    }
    // The shell may hand a folder to extensions that need COM.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SetLastError(0);
    INT_PTR result = reinterpret_cast<INT_PTR>(
        shellOpen(panel.window, "open", panel.logFolder, nullptr, nullptr, SW_SHOWNORMAL));
    DWORD error = GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    if (result <= 32)
        showFailure("Open log folder", panel.logFolder, error ? error : static_cast<DWORD>(result));
}

} // namespace

void addLogEntriesToSystemMenu() {
    HMENU menu = GetSystemMenu(panel.window, FALSE);
    if (!menu) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    appendEntries(menu);
}

INT_PTR showLogContextMenu(WPARAM wParam, LPARAM lParam) {
    HWND list = control(IDC_LOG);
    if (reinterpret_cast<HWND>(wParam) != list) return FALSE;
    POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (at.x == -1 && at.y == -1) { // the context-menu key: at the list's top left
        RECT area;
        GetWindowRect(list, &area);
        const int inset = MulDiv(8, static_cast<int>(windowDpi(panel.window)), 96);
        at = POINT{area.left + inset, area.top + inset};
    }
    HMENU menu = CreatePopupMenu();
    if (!menu) return TRUE;
    appendEntries(menu);
    // The chosen entry comes back as WM_COMMAND to the window.
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, panel.window,
                   nullptr);
    DestroyMenu(menu);
    return TRUE;
}

INT_PTR onLogSystemCommand(WPARAM wParam) {
    UINT id = static_cast<UINT>(wParam & 0xFFF0);
    for (const LogMenuEntry& entry : kLogMenuEntries) {
        if (entry.id == id) {
            onLogMenuCommand(static_cast<int>(id));
            return TRUE;
        }
    }
    return FALSE;
}

void onLogMenuCommand(int id) {
    switch (id) {
    case IDM_LOG_COPY_ALL: copyAll(); break;
    case IDM_LOG_SAVE_AS: saveLogAs(); break;
    case IDM_LOG_OPEN_FOLDER: openLogFolder(); break;
    case IDM_LOG_CLEAR: clearAllLogs(); break;
    default: break;
    }
}
