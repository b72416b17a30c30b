// Firmware update: brings a unit to firmware 3.01 from the image carried in
// the program, record by record.
#pragma once

// Longest wait for the erased unit to identify itself after the reconnect.
constexpr unsigned kReconnectTimeoutMs = 30000;

// Button 223 "Update Firmware".
void onUpdateFirmware();
// Button 182 "Help".
void onUpdateHelp();
// Internal command 401: send the next record of the image.
void sendNextRecord();
// Timers 2 and 3.
void updateTick();
void progressTick();
// Report 0x0C: the unit accepted the update request.
void onUpdateReply();
// An identity reply without firmware. True when a running update takes the
// unit over (the caller then does nothing else).
bool onErasedUnitIdentified();
// Release or a failed link poll: an update that still needs the link fails.
void onUpdateConnectionLost();
// WM_CLOSE: releases the image if an update loaded it.
void releaseFirmwareImage();
