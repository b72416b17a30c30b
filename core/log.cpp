// Event log: timestamped operator events, untimestamped diagnostics, hex dumps.
#include "log.h"

#include <cstdarg>
#include <cstdio>

#include "clock.h"
#include "panel.h"
#include "resource.h"

void appendLog(const char* text) {
    HWND log = control(IDC_LOG);
    SendMessageA(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SendMessageA(log, WM_VSCROLL, SB_BOTTOM, 0);
}

void logLine(const char* format, ...) {
    const SYSTEMTIME& t = readLocalTime();
    char* buffer = panel.textBuffer;
    int used = std::snprintf(buffer, kTextBufferSize, "%d.%02d.%02d %02d:%02d:%02d ", t.wYear, t.wMonth,
                             t.wDay, t.wHour, t.wMinute, t.wSecond);
    if (used < 0) used = 0;
    if (used < kTextBufferSize) {
        va_list values;
        va_start(values, format);
        std::vsnprintf(buffer + used, kTextBufferSize - used, format, values);
        va_end(values);
    }
    appendLog(buffer);
}

void dumpLine(const char* prefix, const uint8_t* bytes, std::size_t count) {
    char line[kTextBufferSize];
    std::size_t done = 0;
    do {
        int length = std::snprintf(line, sizeof line, "%s", prefix);
        for (std::size_t n = 0; n < kDumpBytesPerLine && done < count; ++n, ++done)
            length += std::snprintf(line + length, sizeof line - length, " %02X ", bytes[done]);
        std::snprintf(line + length, sizeof line - length, " \n");
        appendLog(line);
    } while (done < count);
}

void clearAllLogs() {
    SendMessageA(control(IDC_LOG), LB_RESETCONTENT, 0, 0);
    logLine("logs deleted");
}
