// messageTable and the nibble encodings of the unit's SysEx protocol.
#include "message_table.h"

#include "midi_port.h"

namespace {

constexpr MessageTemplate make(std::initializer_list<uint8_t> bytes) {
    MessageTemplate t{};
    std::size_t n = 0;
    for (uint8_t b : bytes)
        t.bytes[n++] = b;
    t.length = static_cast<uint8_t>(n);
    return t;
}

constexpr MessageTemplate makeProfileName() {
    MessageTemplate t{};
    const uint8_t head[] = {0xF0, 0x2C, 0x5A, 0x42, 0x52};
    for (std::size_t n = 0; n < 5; ++n)
        t.bytes[n] = head[n];
    t.bytes[29] = 0xF7; // 24 payload bytes of zero between
    t.length = 30;
    return t;
}

} // namespace

const std::array<MessageTemplate, kMessageCount> messageDefaults = {{
    make({0xF0, 0x7F, 0x7F, 0x06, 0x4A, 0x01, 0x02, 0xF7}),
    make({0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7}),
    make({0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7}),
    make({0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x20, 0x00, 0x00, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x60, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x5E, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x5C, 0x02, 0x0B, 0x0F, 0x02, 0x00, 0x00, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x5A, 0x00, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x58, 0x00, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x56, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x3E, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x54, 0xF7}),
    makeProfileName(),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x46, 0x01, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x42, 0x00, 0x00, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x22, 0x45, 0x52, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x20, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x0B, 0xF7}),
    make({0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7}),
}};

std::array<MessageTemplate, kMessageCount> messageTable = messageDefaults;

void resetMessageTable() {
    messageTable = messageDefaults;
}

void patchByte(Msg m, std::size_t position, uint8_t value) {
    MessageTemplate& t = message(m);
    if (position < 5 || position + 1 >= t.length) return;
    t.bytes[position] = value;
}

SendResult sendMessage(Msg m) {
    if (!panel.outputPort) return SendResult::NotConnected;
    MessageTemplate& t = message(m);
    return sendSysEx(t.bytes.data(), t.length);
}

SendResult sendWithItem(Msg m, uint8_t item) {
    patchByte(m, 5, item);
    return sendMessage(m);
}

SendResult sendParameter(Msg m, uint8_t parameter, uint8_t value) {
    patchByte(m, 5, parameter);
    patchByte(m, 6, value);
    return sendMessage(m);
}

SendResult sendItemValue(Msg m, uint8_t item, uint8_t value) {
    patchByte(m, 5, item);
    patchByte(m, 6, value >> 4);
    patchByte(m, 7, value & 0x0F);
    return sendMessage(m);
}

SendResult firstFailure(SendResult first, SendResult second) {
    return first != SendResult::Sent ? first : second;
}

const char* notSentNote(SendResult result) {
    switch (result) {
    case SendResult::Sent: return "";
    case SendResult::NotConnected: return " not sent: zembrax HD not connected";
    case SendResult::Failed: return " not sent: MIDI send failed";
    }
    return " not sent: MIDI send failed";
}

void encodeNibblePair(uint8_t* out, uint8_t value) {
    out[0] = value >> 4;
    out[1] = value & 0x0F;
}

uint8_t decodeNibblePair(const uint8_t* in) {
    return static_cast<uint8_t>(in[0] * 16 + in[1]);
}

void encodeNibbleText(uint8_t* out, std::span<const char> text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        encodeNibblePair(out + 2 * i, static_cast<uint8_t>(text[i]));
}

void decodeNibbleText(char* out, const uint8_t* in, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<char>(decodeNibblePair(in + 2 * i));
}

void encodeWide32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        encodeNibblePair(out + 2 * i, static_cast<uint8_t>(value >> (24 - 8 * i)));
}

uint32_t decodeWide(const uint8_t* in, std::size_t pairs) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < pairs; ++i)
        value = value * 256 + decodeNibblePair(in + 2 * i);
    return value;
}
