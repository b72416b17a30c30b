// Window timers: every timer of MainPanel is started through startTimer, which
// keeps the period each timer was last started with, so that the periods can
// be checked, and calls SetTimer through a pointer that a test may replace.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

// Window timers of MainPanel.
enum TimerId : UINT_PTR {
    kTimerPoll = 1,          // link poll while connected, 500 ms
    kTimerUpdate = 2,        // firmware update steps
    kTimerProgress = 3,      // progress bar during the erase waits, 40 ms
    kTimerMtcWatchdog = 4,   // MTC watchdog, 50 ms
    kTimerClock = 5,         // PC clock display and jams
    kTimerAutoConnect = 6,   // auto connect, 2000 ms
    kTimerQuerySequence = 7, // request sequence after identification, 20 ms
    kTimerIdentity = 8,      // identity request again while waiting for the reply, 2000 ms
    kTimerConfiguration = 9, // unit configuration: its requests, then the wait for the reports, 20 ms
};

// Every timer of the window: the periods are recorded for each, and WM_CLOSE
// kills each. A new timer goes here, or it is neither recorded nor killed.
constexpr std::array<TimerId, 9> kTimers = {kTimerPoll,          kTimerUpdate,   kTimerProgress,
                                            kTimerMtcWatchdog,   kTimerClock,    kTimerAutoConnect,
                                            kTimerQuerySequence, kTimerIdentity, kTimerConfiguration};
constexpr std::size_t kTimerCount = kTimers.size();

using TimerStarter = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);

// SetTimer unless a test put its own here.
extern TimerStarter timerStarter;

// Kills every timer of the window (WM_CLOSE).
void killAllTimers();

// Starts timer `id` of MainPanel with `period` milliseconds (a running timer
// of that id is replaced) and records the period.
void startTimer(UINT_PTR id, UINT period);

// The period timer `id` was last started with; 0 if it never was.
UINT timerPeriod(UINT_PTR id);
