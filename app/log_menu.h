// The log's menu: "Copy all", "Save log as...", "Open log folder" and "Clear
// All Logs", as the context menu of list 303 and at the end of the system menu.
#pragma once

#include <windows.h>
#include <commdlg.h>

// The Save dialog: GetSaveFileNameA unless a test put its own here.
using SaveDialogFunction = BOOL(WINAPI*)(LPOPENFILENAMEA);
extern SaveDialogFunction saveDialog;

// Writing a saved log's lines: WriteFile unless a test put its own here.
using FileWriteFunction = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern FileWriteFunction saveWrite;

// Opening the log folder: ShellExecuteA unless a test put its own here.
using ShellOpenFunction = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
extern ShellOpenFunction shellOpen;

// WM_INITDIALOG: a separator and the log's entries at the end of the system menu.
void addLogEntriesToSystemMenu();

// WM_CONTEXTMENU: the log's context menu when the message is for list 303
// (right-click, or the context-menu key with lParam -1). TRUE if handled.
INT_PTR showLogContextMenu(WPARAM wParam, LPARAM lParam);

// WM_SYSCOMMAND: TRUE if it was one of the log's entries (then done), FALSE
// to let the system handle it.
INT_PTR onLogSystemCommand(WPARAM wParam);

// A log entry chosen from either menu (WM_COMMAND with an IDM_LOG_* identifier).
void onLogMenuCommand(int id);
