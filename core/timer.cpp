// Window timers of MainPanel, started in one place.
#include "timer.h"

#include "panel.h"

TimerStarter timerStarter = SetTimer;

void startTimer(UINT_PTR id, UINT period) {
    if (id < panel.timerPeriods.size()) panel.timerPeriods[id] = period;
    timerStarter(panel.window, id, period, nullptr);
}

UINT timerPeriod(UINT_PTR id) {
    return id < panel.timerPeriods.size() ? panel.timerPeriods[id] : 0;
}

void killAllTimers() {
    for (TimerId id : kTimers)
        KillTimer(panel.window, id);
}
