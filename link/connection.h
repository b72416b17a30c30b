// Connection and identification: Connect, Release, the link poll, auto
// connect, the decoding of the unit's identity and the request sequence that
// follows it. Each returns what happened; which layout the window shows then
// is the router's business (app/router.h). Nothing here calls up.
#pragma once

#include <cstddef>
#include <cstdint>

// Minimum lengths of received messages, the final 0xF7 counted.
constexpr std::size_t kIdentityLength = 14;

// Text of static 179 while no varispeed is set (Release puts it back).
constexpr const char* kVarispeedHint = "Enter word clock frequency\nin milli Hertz i.e. 48000533";

// What an identity reply says about the unit.
enum class UnitKind {
    Erased,      // no firmware at all (four bytes 0x7F)
    Operable,    // report 0x0A with firmware 301
    NeedsUpdate, // any other kind or firmware
};

// How a Connect ended; the status text says the same.
enum class ConnectResult {
    NoInputs,         // "not found 01"
    NoMatchingInput,  // "not found 02"
    NoOutputs,        // "not found 03"
    NoMatchingOutput, // "not found 04"
    InputBusy,        // the input did not open
    InputNotStarted,  // the input opened but could not receive: both closed again ("not found 05")
    OutputBusy,       // the output did not open
    Waiting,          // ports open, identity request sent ("not found 05")
    Lost,             // the ports opened, but the unit was gone at the identity request
};

// Whether the link poll found the unit.
enum class LinkCheck { Alive, Lost };

bool matchesPortPrefix(const char* name);
// How WM_COMMAND 221 tells auto connect's Connect (lParam) from a click.
constexpr std::intptr_t kAutoConnectMark = 1;

// Button 221: closes what is open, finds the next unit's ports and opens them.
// `automatic`: posted by auto connect, whose repeated port-layer lines are
// written at most once a minute (link/midi_port.h: portLine).
ConnectResult connectUnit(bool automatic);
// Button 222: tells the unit, closes the ports; status "not connected". When
// a send finds the unit gone, the lost link's ending says it all.
void releaseUnit();
void onAutoConnectClicked();
// Timer 1.
LinkCheck pollConnection();
// The lost-link ending: ports closed, status "zembrax HD not connected",
// "MIDI connection lost", and the window told (takeLinkLost). Run by a failed
// poll, and by the port layer at once when a send or re-queue finds the unit
// gone. Does nothing when no port is open.
void connectionLost();
// True once after the link ended by connectionLost: the window then shows the
// not-connected layout (unless a failed update shows its own).
bool takeLinkLost();
// Timer 8: the identity request again while no reply has come.
void identityRetryTick();
void autoConnectTick();
// Starts the request sequence (timer 7) from its first step.
void startQuerySequence();
void querySequenceTick();
// An identity reply of at least kIdentityLength bytes: keeps the serial
// number and firmware version, shows them in the status text and logs the
// connected line (not for an erased unit). Shows no page.
UnitKind identifyUnit(const uint8_t* bytes);
