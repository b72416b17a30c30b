// The unit configuration's entries in the system menu. Save: the Save dialog,
// fresh reports from the unit (timer 9), then the file. Restore: the Open
// dialog, the whole file checked, a question for a file of another unit,
// fresh reports, the differences for the operator to confirm, the changed
// values written, fresh reports again, and the log line that says what the
// unit took.
#include "config_menu.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "../core/clock.h"
#include "../core/log.h"
#include "../core/log_file.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../link/message_table.h"
#include "../pages/unit_config.h"
#include "log_menu.h"

OpenDialogFunction openDialog = GetOpenFileNameA;

namespace {

constexpr const char* kSaveCaption = "Save unit configuration";
constexpr const char* kRestoreCaption = "Restore unit configuration";

bool entriesAvailable() {
    return operableUnitConnected() && !updateRunning() && panel.configTask == ConfigTask::Idle;
}

void show(const char* text, const char* caption, UINT kind) {
    MessageBoxA(panel.window, text, caption, MB_OK | kind);
}

// The Save or Open dialog, starting in the folder of the last configuration
// file, or the first time in the user's Documents folder. `path` holds the
// proposed name and gets the chosen path. False when cancelled.
bool askForFile(OpenDialogFunction dialog, char (&path)[MAX_PATH], DWORD flags, const char* caption) {
    char documents[MAX_PATH] = {};
    const char* folder = panel.configFolder;
    if (!folder[0] &&
        SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents) == S_OK)
        folder = documents;
    OPENFILENAMEA request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = panel.window;
    request.lpstrFilter = "Configuration files (*.ini)\0*.ini\0All files (*.*)\0*.*\0";
    request.lpstrFile = path;
    request.nMaxFile = MAX_PATH;
    request.lpstrInitialDir = folder[0] ? folder : nullptr;
    request.lpstrTitle = caption;
    request.lpstrDefExt = "ini";
    request.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | flags;
    if (!dialog(&request)) {
        DWORD error = CommDlgExtendedError(); // 0: cancelled, nothing to do
        if (error) {
            char text[64];
            std::snprintf(text, sizeof text, "The file dialog failed (error 0x%04lX).", error);
            show(text, caption, MB_ICONERROR);
        }
        return false;
    }
    std::snprintf(panel.configFolder, sizeof panel.configFolder, "%s", path);
    if (char* slash = std::strrchr(panel.configFolder, '\\'))
        slash[1] = 0;
    else
        panel.configFolder[0] = 0;
    return true;
}

void saveConfiguration() {
    const SYSTEMTIME& today = readLocalTime();
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "zembrax-H%04d-%04u-%02u-%02u.ini", panel.serialNumber, today.wYear,
                  today.wMonth, today.wDay);
    if (!askForFile(saveDialog, path, OFN_OVERWRITEPROMPT, kSaveCaption)) return;
    std::snprintf(panel.configPath, sizeof panel.configPath, "%s", path);
    startConfigTransfer(ConfigTask::Save);
}

void restoreConfiguration() {
    char path[MAX_PATH] = {};
    if (!askForFile(openDialog, path, OFN_FILEMUSTEXIST, kRestoreCaption)) return;
    char problem[256];
    int serial = 0;
    if (!readConfigFile(path, panel.fileValues, serial, problem, sizeof problem)) {
        char text[MAX_PATH + 320];
        std::snprintf(text, sizeof text, "%s\n\nThe file is not used, and nothing is sent to the unit:\n%s",
                      path, problem);
        show(text, kRestoreCaption, MB_ICONERROR);
        return;
    }
    if (serial != panel.serialNumber) {
        char text[MAX_PATH + 160];
        std::snprintf(text, sizeof text,
                      "%s\nwas saved from zembrax H %04d. The connected unit is zembrax H %04d.\n\n"
                      "Restore it to this unit?",
                      path, serial, panel.serialNumber);
        if (MessageBoxA(panel.window, text, kRestoreCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
            IDYES)
            return;
    }
    std::snprintf(panel.configPath, sizeof panel.configPath, "%s", path);
    startConfigTransfer(ConfigTask::Compare);
}

// Why the wait did not bring every report.
void describeWaitFailure(ConfigWait wait, char* text, std::size_t size) {
    if (wait == ConfigWait::Missing) {
        char missing[160];
        describeMissingReports(missing, sizeof missing);
        std::snprintf(text, size, "no answer from the unit within 2 s: %s", missing);
        return;
    }
    const char* reason =
        panel.configRequest == SendResult::NotConnected ? "zembrax HD not connected" : "MIDI send failed";
    std::snprintf(text, size, "the unit was not asked for its reports: %s", reason);
}

void finishSave(ConfigWait wait) {
    char why[MAX_PATH + 200];
    if (wait == ConfigWait::Complete) {
        unsigned long error = writeConfigFile(panel.configPath);
        if (!error) {
            logLine("configuration of zembrax H %04d saved: %s", panel.serialNumber, panel.configPath);
            return;
        }
        char reason[160];
        describeError(error, reason, sizeof reason);
        std::snprintf(why, sizeof why, "%s: %s", panel.configPath, reason);
    } else {
        describeWaitFailure(wait, why, sizeof why);
    }
    char text[MAX_PATH + 280];
    std::snprintf(text, sizeof text, "configuration of zembrax H %04d not saved: %s", panel.serialNumber,
                  why);
    show(text, kSaveCaption, MB_ICONERROR);
}

// The differences for the operator to confirm; on Yes the changed values go
// out, then the unit is asked for its reports again.
void offerRestore(ConfigWait wait) {
    char text[4096];
    if (wait != ConfigWait::Complete) {
        char why[200];
        describeWaitFailure(wait, why, sizeof why);
        std::snprintf(text, sizeof text, "configuration not restored from %s: %s", panel.configPath, why);
        show(text, kRestoreCaption, MB_ICONERROR);
        return;
    }
    char lines[3072];
    int differences = describeDifferences(panel.unitValues, panel.fileValues, lines, sizeof lines);
    if (differences == 0) {
        show("Nothing to restore: the unit already has this configuration", kRestoreCaption,
             MB_ICONINFORMATION);
        return;
    }
    std::snprintf(text, sizeof text,
                  "%d values of zembrax H %04d differ from %s:\n\n%s\n\nWrite the file's values to the unit?",
                  differences, panel.serialNumber, panel.configPath, lines);
    if (MessageBoxA(panel.window, text, kRestoreCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) return;

    RestoreResult result = writeDifferences(panel.unitValues, panel.fileValues);
    panel.configWritten = result.written;
    if (result.stopped != SendResult::Sent) {
        std::snprintf(text, sizeof text, "configuration restore stopped: %s%s, %d values written before it",
                      result.key, notSentNote(result.stopped), result.written);
        logLine("%s", text);
        show(text, kRestoreCaption, MB_ICONERROR);
        return;
    }
    startConfigTransfer(ConfigTask::Confirm);
}

// What the unit took, by its fresh reports.
void confirmRestore(ConfigWait wait) {
    if (wait != ConfigWait::Complete) {
        char why[200];
        describeWaitFailure(wait, why, sizeof why);
        logLine("configuration restored from %s: %d values written, not confirmed: %s", panel.configPath,
                panel.configWritten, why);
        return;
    }
    char names[512];
    int notTaken = listDifferentKeys(panel.unitValues, panel.fileValues, names, sizeof names);
    if (notTaken == 0)
        logLine("configuration restored from %s: %d values written, all confirmed", panel.configPath,
                panel.configWritten);
    else
        logLine("configuration restored from %s: %d values written, %d not taken: %s", panel.configPath,
                panel.configWritten, notTaken, names);
}

} // namespace

void addConfigEntriesToSystemMenu() {
    HMENU menu = GetSystemMenu(panel.window, FALSE);
    if (!menu) return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING | MF_GRAYED, IDM_CONFIG_SAVE, "Save unit configuration...");
    AppendMenuA(menu, MF_STRING | MF_GRAYED, IDM_CONFIG_RESTORE, "Restore unit configuration...");
}

INT_PTR onConfigMenuPopup(WPARAM wParam, LPARAM lParam) {
    HMENU menu = GetSystemMenu(panel.window, FALSE);
    if (!HIWORD(lParam) && reinterpret_cast<HMENU>(wParam) != menu) return FALSE;
    UINT state = MF_BYCOMMAND | (entriesAvailable() ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(menu, IDM_CONFIG_SAVE, state);
    EnableMenuItem(menu, IDM_CONFIG_RESTORE, state);
    return FALSE;
}

INT_PTR onConfigSystemCommand(WPARAM wParam) {
    UINT id = static_cast<UINT>(wParam & 0xFFF0);
    if (id != IDM_CONFIG_SAVE && id != IDM_CONFIG_RESTORE) return FALSE;
    if (!entriesAvailable()) return TRUE; // greyed: a command that comes all the same does nothing
    if (id == IDM_CONFIG_SAVE)
        saveConfiguration();
    else
        restoreConfiguration();
    return TRUE;
}

void onConfigTimer() {
    ConfigTask task = panel.configTask;
    ConfigWait wait = configTick();
    if (wait == ConfigWait::GoesOn) return;
    panel.configTask = ConfigTask::Idle;
    switch (task) {
    case ConfigTask::Save: finishSave(wait); break;
    case ConfigTask::Compare: offerRestore(wait); break;
    case ConfigTask::Confirm: confirmRestore(wait); break;
    case ConfigTask::Idle: break;
    }
}
