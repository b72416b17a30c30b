// Router: hands every message the unit sends to the part of the panel that
// owns it, and turns what the link and the firmware update report (identified,
// released, lost, failed) into the layout the window shows. The dialog
// procedure calls in here; everything below returns its results up to here.
#pragma once

#include <cstddef>
#include <cstdint>

// Every received SysEx buffer with at least one byte.
void dispatchSysEx(const uint8_t* bytes, std::size_t count);

// The data byte of an MTC quarter frame (short message with status 0xF1).
void dispatchQuarterFrame(uint8_t data);

// Button 221 Connect (also posted by auto connect and the firmware update).
// `automatic`: the Connect that auto connect posted (lParam kAutoConnectMark).
void onConnectCommand(bool automatic);

// Button 222 Release (also posted by the firmware update).
void onReleaseCommand();

// Timer 1, the link poll.
void onPollTimer();

// Button 223, internal command 401 and timer 2: the firmware update's steps.
void onUpdateFirmwareCommand();
void onSendNextRecordCommand();
void onUpdateTimer();

// After every window message: a link that a send or a re-queue found gone
// while the message was handled gets the not-connected layout.
void followLostLink();
