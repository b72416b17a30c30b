// Connection and identification: Connect, Release, the link poll, auto
// connect, the request sequence after identification, and the dispatcher of
// every received SysEx message.
#pragma once

#include <cstddef>
#include <cstdint>

// Minimum lengths of received messages, the final 0xF7 counted.
constexpr std::size_t kIdentityLength = 14;

bool matchesPortPrefix(const char* name);
void connectUnit();
void releaseUnit();
void onAutoConnectClicked();
void pollConnection();
// The lost-link ending: ports closed, the not-connected layout, "MIDI
// connection lost". Run by a failed poll, and by the port layer at once when a
// send or re-queue finds the unit gone. Does nothing when no port is open.
void connectionLost();
// Timer 8: the identity request again while no reply has come.
void identityRetryTick();
void autoConnectTick();
void querySequenceTick();
void dispatchSysEx(const uint8_t* bytes, std::size_t count);
void handleIdentity(const uint8_t* bytes, std::size_t count);
