// messageTable: the 23 outgoing SysEx templates (5 MMC, 18 unit commands).
// Static and writable for the whole run: a sender patches payload bytes in
// place and sends the whole template with its fixed length, so every template
// keeps the last values written into it. Also the nibble encodings with which
// the unit's messages carry 8-bit values, text and wider values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../core/panel.h"

constexpr std::size_t kLongestTemplate = 30;

struct MessageTemplate {
    std::array<uint8_t, kLongestTemplate> bytes;
    uint8_t length; // bytes from 0xF0 to 0xF7, always the number sent
};

// The table's entries, in the table's own order.
enum class Msg : uint8_t {
    MmcGenerator,       // MMC GENERATOR COMMAND 0x4A: jam from the LTC reader
    MmcStop,            // MMC STOP 0x01
    MmcPlay,            // MMC PLAY 0x02
    MmcLocate,          // MMC LOCATE 0x44, bytes 7..10 hours+rate, min, sec, frames
    MmcRead,            // MMC READ 0x42
    LinkFlag,           // command 0x60: byte 5 link flag
    VarispeedRelease,   // command 0x5E
    VarispeedFrequency, // command 0x5C: bytes 5..12 a 32-bit value as 8 nibbles
    StoreValue,         // command 0x5A: byte 5 item, bytes 6, 7 nibble pair
    SetValue,           // command 0x58: byte 5 item, bytes 6, 7 nibble pair
    RequestCalibration, // command 0x56: byte 5 item
    PlayMode,           // command 0x3E: byte 5 play mode
    StoreProfile,       // command 0x54
    ProfileName,        // command 0x52: bytes 5..28 twelve characters as nibble text
    RequestItem,        // command 0x50: byte 5 item
    RecallProfile,      // command 0x46: byte 5 profile 1..4
    SetParameter,       // command 0x44: byte 5 parameter, byte 6 value
    SetCompanion,       // command 0x42: byte 5 parameter, byte 6 value
    RequestSettings,    // command 0x40
    EraseEeprom,        // command 0x22 "ER"
    CaptureTuning,      // command 0x20
    BeginUpdate,        // command 0x0B
    Identity,           // command 0x01
};

constexpr std::size_t kMessageCount = 23;

// Default bytes of every template, as the program starts with them.
extern const std::array<MessageTemplate, kMessageCount> messageDefaults;

// The live, writable table.
extern std::array<MessageTemplate, kMessageCount> messageTable;

inline MessageTemplate& message(Msg m) {
    return messageTable[static_cast<std::size_t>(m)];
}

// Puts every template back to its default bytes (fresh-start state for tests).
void resetMessageTable();

// Writes one payload byte. Bytes 0 to 4 and the final 0xF7 are never patched.
void patchByte(Msg m, std::size_t position, uint8_t value);

// Sends the whole template with its table length. Every sender says whether
// the message went out: NotConnected (no output open, nothing tried), Failed
// (the port layer logged why; a lost unit has ended the link), or Sent.
SendResult sendMessage(Msg m);

// Patch byte 5, then send (request item codes, link flag, play mode, recall).
SendResult sendWithItem(Msg m, uint8_t item);

// Commands 0x44 / 0x42: byte 5 parameter number, byte 6 value, then send.
SendResult sendParameter(Msg m, uint8_t parameter, uint8_t value);

// Commands 0x58 / 0x5A: byte 5 item code, bytes 6 and 7 the value as a nibble pair.
SendResult sendItemValue(Msg m, uint8_t item, uint8_t value);

// The result of an action of two sends: Sent when both went out, otherwise
// the first that did not.
SendResult firstFailure(SendResult first, SendResult second);

// For the log line of an action that reports success: "" when every send went
// out, " not sent: zembrax HD not connected" when no output was open, and
// " not sent: MIDI send failed" when the driver refused a send or the unit
// was lost on the way.
const char* notSentNote(SendResult result);

// Nibble pair: high nibble at out[0], low nibble at out[1].
void encodeNibblePair(uint8_t* out, uint8_t value);
// (in[0] * 16 + in[1]) mod 256.
uint8_t decodeNibblePair(const uint8_t* in);

// Nibble text: text.size() characters, one nibble pair each, into 2 * size bytes.
void encodeNibbleText(uint8_t* out, std::span<const char> text);
// Decodes count characters from 2 * count bytes.
void decodeNibbleText(char* out, const uint8_t* in, std::size_t count);

// Wide value: the 32-bit value as 8 nibbles, most significant first.
void encodeWide32(uint8_t* out, uint32_t value);
// Folds `pairs` nibble pairs: value = value * 256 + pair.
uint32_t decodeWide(const uint8_t* in, std::size_t pairs);
