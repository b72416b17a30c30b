// Firmware update procedure.
//
// Only the hand-over from the connection is built so far: while an update
// waits for the erased unit to come back (state 3), its identity moves the
// update on (state 5, timer 2). Start, Help, the record loop and the timers
// are not built yet and do nothing.
#include "update.h"

#include "../app/panel.h"

void onUpdateFirmware() {}
void onUpdateHelp() {}
void sendNextRecord() {}
void updateTick() {}
void progressTick() {}

void onUpdateReply() {
    if (panel.updateState == 1) panel.updateState = 2;
}

bool onErasedUnitIdentified() {
    if (panel.updateState != 3) return false;
    panel.updateState = 5;
    SetTimer(panel.window, kTimerUpdate, 1, nullptr);
    return true;
}

void releaseFirmwareImage() {}
