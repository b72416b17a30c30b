// Window timers: every timer of MainPanel is started through startTimer, which
// keeps the period each timer was last started with, so that the periods can
// be checked, and calls SetTimer through a pointer that a test may replace.
#pragma once

#include <windows.h>

using TimerStarter = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);

// SetTimer unless a test put its own here.
extern TimerStarter timerStarter;

// Starts timer `id` of MainPanel with `period` milliseconds (a running timer
// of that id is replaced) and records the period.
void startTimer(UINT_PTR id, UINT period);

// The period timer `id` was last started with; 0 if it never was.
UINT timerPeriod(UINT_PTR id);
