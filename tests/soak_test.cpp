// Soak: the panel connected to the simulated unit for a day of time code, in
// compressed time. The unit's clock and wire run ZEMBRAX_SOAK_SPEED times real
// time (the simulator's speed entry) and so does the PC clock the panel reads,
// so the panel sees a normal day: MTC at 30 frames per second, the unit's lock
// events and front-panel changes, its own clock ticks, all through a real
// message loop. Prints the working set at the start, every simulated hour and
// the end, with the CPU time used; memory must not grow by more than 1 MiB
// after the first hour. Not part of the normal run: tools/soak.sh runs it.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstdint>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// The PC clock in compressed time, from the time code's first hour when it starts.
struct {
    LARGE_INTEGER frequency{}, start{};
    int speed = 1;
    int firstHour = 0;
} soakClock;

void WINAPI readSoakClock(LPSYSTEMTIME time) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const long long ms =
        (now.QuadPart - soakClock.start.QuadPart) * 1000 * soakClock.speed / soakClock.frequency.QuadPart;
    FILETIME begin;
    SYSTEMTIME day{2026, 3, 6, 7, static_cast<WORD>(soakClock.firstHour), 0, 0, 0};
    SystemTimeToFileTime(&day, &begin);
    ULARGE_INTEGER t;
    t.LowPart = begin.dwLowDateTime;
    t.HighPart = begin.dwHighDateTime;
    t.QuadPart += static_cast<ULONGLONG>(ms) * 10000;
    FILETIME f{t.LowPart, t.HighPart};
    FileTimeToSystemTime(&f, time);
}

double mebibytes(SIZE_T bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

struct Usage {
    SIZE_T workingSet = 0, privateBytes = 0;
    double cpuSeconds = 0;
};

Usage usage() {
    Usage u;
    PROCESS_MEMORY_COUNTERS_EX m{};
    m.cb = sizeof m;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m)) {
        u.workingSet = m.WorkingSetSize;
        u.privateBytes = m.PrivateUsage;
    }
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        auto seconds = [](const FILETIME& f) {
            return static_cast<double>(static_cast<ULONGLONG>(f.dwHighDateTime) << 32 | f.dwLowDateTime) /
                   1e7;
        };
        u.cpuSeconds = seconds(kernel) + seconds(user);
    }
    return u;
}

void print(const char* when, const Usage& u, HWND window) {
    int h = 0, m = 0, s = 0, f = 0;
    simGetTimeCode(0, &h, &m, &s, &f, nullptr, nullptr);
    std::printf("soak: %-8s unit %02d:%02d:%02d:%02d  panel %-20s  working set %7.2f MiB  private %7.2f MiB  "
                "CPU %7.1f s  quarter frames %d  lost %d\n",
                when, h, m, s, f, controlText(window, IDC_MTC_DISPLAY).c_str(), mebibytes(u.workingSet),
                mebibytes(u.privateBytes), u.cpuSeconds, simQuarterFramesSent(0), simLostMessages(0));
    std::fflush(stdout);
}

TEST(Soak, DISABLED_DayOfTimeCode) {
    const int hours = fromEnvironment("ZEMBRAX_SOAK_HOURS", 24);
    const int speed = fromEnvironment("ZEMBRAX_SOAK_SPEED", 40);
    // A cap on the wall time, in minutes (0: none): the run then ends early.
    const DWORD capMs = static_cast<DWORD>(fromEnvironment("ZEMBRAX_SOAK_MINUTES", 0)) * 60000;
    const DWORD begun = GetTickCount();
    // The hour of the day the time code starts at.
    const int first = fromEnvironment("ZEMBRAX_SOAK_FIRST_HOUR", 0) % 24;
    HWND window = openPanel("-T");
    // Time code at 30 frames per second, somebody at the unit's front panel
    // every five minutes.
    char timeCode[32];
    std::snprintf(timeCode, sizeof timeCode, "%02d:00:00:00/30", first);
    const std::string setup = "speed=" + std::to_string(speed) + ";timecode=" + timeCode + ";frontpanel=300";
    soakClock.firstHour = first;
    ASSERT_EQ(simConfigure(setup.c_str()), 0);
    soakClock.speed = speed;
    QueryPerformanceFrequency(&soakClock.frequency);
    QueryPerformanceCounter(&soakClock.start);
    localTimeSource = readSoakClock;
    // Connect as the operator does; the rest happens in the message loop.
    PostMessageA(window, WM_COMMAND, IDC_CONNECT, 0);

    const Usage start = usage();
    print("start", start, window);
    Usage firstHour{};
    int hour = 0, lastHours = first;
    DWORD lastEvent = GetTickCount();
    uint8_t event = 0;
    // The program's message loop; a thread timer wakes it when nothing comes,
    // and once a second it looks at the time code.
    UINT_PTR wake = SetTimer(nullptr, 0, 1000, nullptr);
    DWORD lastLook = GetTickCount();
    MSG msg;
    while (hour < hours && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        if (GetTickCount() - lastLook < 1000) continue;
        lastLook = GetTickCount();
        if (capMs && lastLook - begun > capMs) break;
        // A lock event from the unit every simulated minute or so.
        if ((GetTickCount() - lastEvent) * static_cast<DWORD>(speed) >= 60000) {
            simSendEvent(0, static_cast<uint8_t>(0x02 + event++ % 5));
            lastEvent = GetTickCount();
        }
        int h = 0;
        simGetTimeCode(0, &h, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (h == lastHours) continue;
        lastHours = h;
        ++hour;
        const Usage now = usage();
        if (hour == 1) firstHour = now;
        print(("hour " + std::to_string(hour)).c_str(), now, window);
    }
    KillTimer(nullptr, wake);
    const Usage end = usage();
    print("end", end, window);
    EXPECT_EQ(controlText(window, IDC_STATUS), "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    std::printf("soak: %d simulated hours at %d times real time; CPU %.1f s; working set %+.2f MiB since the "
                "start, %+.2f MiB since the first hour\n",
                hour, speed, end.cpuSeconds - start.cpuSeconds,
                mebibytes(end.workingSet) - mebibytes(start.workingSet),
                hour >= 1 ? mebibytes(end.workingSet) - mebibytes(firstHour.workingSet) : 0.0);
    EXPECT_EQ(panel.inputPort != nullptr && panel.outputPort != nullptr, true) << "the link was lost";
    EXPECT_EQ(simLostMessages(0), 0) << "the panel did not keep up with the unit: try a lower speed";
    EXPECT_EQ(simProtocolViolations(0), 0);
    if (hour > 1) {
        EXPECT_LE(static_cast<double>(end.workingSet) - static_cast<double>(firstHour.workingSet),
                  1024.0 * 1024.0)
            << "the working set grew after the first hour";
    }
    closePanel(window);
    localTimeSource = GetLocalTime;
}

} // namespace
