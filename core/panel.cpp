// PanelState: its one definition and the state of a fresh start.
#include "panel.h"

#include <cstdio>

PanelState panel = initialPanelState();

PanelState initialPanelState() {
    PanelState state{};
    state.dailyJamHour = 3;
    state.dailyJamMinute = 0;
    state.locateRateIndex = 1;
    state.currentProfile = CurrentProfile::Unknown;
    for (int slot = 0; slot < 4; ++slot)
        std::snprintf(state.profileNames[slot], 13, "default nam%d", slot + 1);
    return state;
}
