// Connection and identification: Connect, Release, the link poll, auto
// connect, the decoding of the unit's identity and the request sequence that
// follows it. What the rest of the panel does with a received message is the
// router's business (app/router.h); nothing here calls into the pages or the
// firmware update.
#pragma once

#include <cstddef>
#include <cstdint>

// Minimum lengths of received messages, the final 0xF7 counted.
constexpr std::size_t kIdentityLength = 14;

// Text of static 179 while no varispeed is set (Release puts it back).
constexpr const char* kVarispeedHint = "Enter word clock frequency\nin milli Hertz i.e. 48000533";

// For the log line of an action whose messages went nowhere because no output
// port is open: " not sent: zembrax HD not connected"; otherwise "".
const char* notSentNote();

// What an identity reply says about the unit.
enum class UnitKind {
    Erased,      // no firmware at all (four bytes 0x7F)
    Operable,    // report 0x0A with firmware 301
    NeedsUpdate, // any other kind or firmware
};

bool matchesPortPrefix(const char* name);
void connectUnit();
// Button 222; the caller follows up on the lost link.
void releaseUnit();
void onAutoConnectClicked();
// Timer 1. True when the link was found lost (the lost-link ending has run).
bool pollConnection();
// The lost-link ending: ports closed, the not-connected layout, "MIDI
// connection lost". Run by a failed poll, and by the port layer at once when a
// send or re-queue finds the unit gone. Does nothing more when no port is open.
void connectionLost();
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
