// messageTable: every template's bytes and length, patching, and the nibble encodings.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/main_panel.h"
#include "core/panel.h"
#include "link/message_table.h"

namespace {

struct Expected {
    Msg message;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> bytesOf(const MessageTemplate& t) {
    return {t.bytes.begin(), t.bytes.begin() + t.length};
}

std::vector<uint8_t> profileNameDefault() {
    std::vector<uint8_t> bytes = {0xF0, 0x2C, 0x5A, 0x42, 0x52};
    bytes.insert(bytes.end(), 24, 0x00);
    bytes.push_back(0xF7);
    return bytes;
}

TEST(MessageTable, TemplatesInTableOrderWithTheirLengths) {
    resetPanelState();
    const Expected table[] = {
        {Msg::MmcGenerator, {0xF0, 0x7F, 0x7F, 0x06, 0x4A, 0x01, 0x02, 0xF7}},
        {Msg::MmcStop, {0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7}},
        {Msg::MmcPlay, {0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7}},
        {Msg::MmcLocate, {0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x20, 0x00, 0x00, 0x00, 0x00, 0xF7}},
        {Msg::MmcRead, {0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7}},
        {Msg::LinkFlag, {0xF0, 0x2C, 0x5A, 0x42, 0x60, 0x00, 0xF7}},
        {Msg::VarispeedRelease, {0xF0, 0x2C, 0x5A, 0x42, 0x5E, 0xF7}},
        {Msg::VarispeedFrequency,
         {0xF0, 0x2C, 0x5A, 0x42, 0x5C, 0x02, 0x0B, 0x0F, 0x02, 0x00, 0x00, 0x00, 0x00, 0xF7}},
        {Msg::StoreValue, {0xF0, 0x2C, 0x5A, 0x42, 0x5A, 0x00, 0x00, 0x00, 0xF7}},
        {Msg::SetValue, {0xF0, 0x2C, 0x5A, 0x42, 0x58, 0x00, 0x00, 0x00, 0xF7}},
        {Msg::RequestCalibration, {0xF0, 0x2C, 0x5A, 0x42, 0x56, 0x00, 0xF7}},
        {Msg::PlayMode, {0xF0, 0x2C, 0x5A, 0x42, 0x3E, 0x00, 0xF7}},
        {Msg::StoreProfile, {0xF0, 0x2C, 0x5A, 0x42, 0x54, 0xF7}},
        {Msg::ProfileName, profileNameDefault()},
        {Msg::RequestItem, {0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x00, 0xF7}},
        {Msg::RecallProfile, {0xF0, 0x2C, 0x5A, 0x42, 0x46, 0x01, 0xF7}},
        {Msg::SetParameter, {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x00, 0x00, 0xF7}},
        {Msg::SetCompanion, {0xF0, 0x2C, 0x5A, 0x42, 0x42, 0x00, 0x00, 0xF7}},
        {Msg::RequestSettings, {0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7}},
        {Msg::EraseEeprom, {0xF0, 0x2C, 0x5A, 0x42, 0x22, 0x45, 0x52, 0xF7}},
        {Msg::CaptureTuning, {0xF0, 0x2C, 0x5A, 0x42, 0x20, 0xF7}},
        {Msg::BeginUpdate, {0xF0, 0x2C, 0x5A, 0x42, 0x0B, 0xF7}},
        {Msg::Identity, {0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7}},
    };
    ASSERT_EQ(std::size(table), 23u);
    for (size_t i = 0; i < 23u; ++i) {
        EXPECT_EQ(static_cast<size_t>(table[i].message), i);
        EXPECT_EQ(bytesOf(message(table[i].message)), table[i].bytes) << "entry " << i + 1;
        for (uint8_t b : std::vector<uint8_t>(table[i].bytes.begin() + 1, table[i].bytes.end() - 1))
            EXPECT_LE(b, 0x7F) << "entry " << i + 1;
    }
    EXPECT_EQ(message(Msg::ProfileName).length, 30);
}

TEST(MessageTable, PatchedBytesStayUntilPatchedAgain) {
    resetPanelState();
    sendParameter(Msg::SetParameter, 2, 2); // no port open: nothing goes out, the template keeps the values
    EXPECT_EQ(bytesOf(message(Msg::SetParameter)),
              (std::vector<uint8_t>{0xF0, 0x2C, 0x5A, 0x42, 0x44, 2, 2, 0xF7}));
    sendItemValue(Msg::SetValue, 0x50, 0xFF);
    EXPECT_EQ(bytesOf(message(Msg::SetValue)),
              (std::vector<uint8_t>{0xF0, 0x2C, 0x5A, 0x42, 0x58, 0x50, 0x0F, 0x0F, 0xF7}));
    sendWithItem(Msg::LinkFlag, 1);
    EXPECT_EQ(message(Msg::LinkFlag).bytes[5], 1);
    // The frame itself is never patched.
    for (size_t position : {0u, 1u, 4u, 7u, 29u})
        patchByte(Msg::SetParameter, position, 0x11);
    EXPECT_EQ(bytesOf(message(Msg::SetParameter)),
              (std::vector<uint8_t>{0xF0, 0x2C, 0x5A, 0x42, 0x44, 2, 2, 0xF7}));
    resetPanelState();
    EXPECT_EQ(bytesOf(message(Msg::SetParameter)),
              (std::vector<uint8_t>{0xF0, 0x2C, 0x5A, 0x42, 0x44, 0, 0, 0xF7}));
}

TEST(Nibbles, PairsBothWays) {
    struct {
        uint8_t value, high, low;
    } cases[] = {{0x00, 0, 0}, {0xFF, 0x0F, 0x0F}, {0x41, 0x04, 0x01}, {0x80, 8, 0}};
    for (auto c : cases) {
        uint8_t out[2];
        encodeNibblePair(out, c.value);
        EXPECT_EQ(out[0], c.high);
        EXPECT_EQ(out[1], c.low);
        EXPECT_EQ(decodeNibblePair(out), c.value);
    }
    const uint8_t wide[] = {0x13, 0x25}; // bytes above 0x0F still fold as high * 16 + low, mod 256
    EXPECT_EQ(decodeNibblePair(wide), static_cast<uint8_t>(0x13 * 16 + 0x25));
}

TEST(Nibbles, TextAndWideValues) {
    const char name[12] = {'A', 'B', 0};
    uint8_t out[24];
    encodeNibbleText(out, name);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{4, 1, 4, 2, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(out + 6, out + 24), std::vector<uint8_t>(18, 0));
    char back[12];
    decodeNibbleText(back, out, 12);
    EXPECT_EQ(std::string(back, 12), std::string(name, 12));

    uint8_t eight[8];
    encodeWide32(eight, 0x2BF2'0000u + 0x1E05u);
    EXPECT_EQ(std::vector<uint8_t>(eight, eight + 8), (std::vector<uint8_t>{2, 0xB, 0xF, 2, 1, 0xE, 0, 5}));
    EXPECT_EQ(decodeWide(eight, 4), 0x2BF21E05u);
    EXPECT_EQ(decodeWide(eight, 2), 0x2BF2u);
}

} // namespace
