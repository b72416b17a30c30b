#include "unit_model.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEndOfExclusive = 0xF7;
constexpr uint8_t kManufacturer = 0x2C;
constexpr uint8_t kTag1 = 0x5A; // "Z"
constexpr uint8_t kTag2 = 0x42; // "B"

// Highest value of each parameter 1..19 (all start at 1).
constexpr uint8_t kParameterMax[kParameterCount + 1] = {0, 4, 5, 5, 5, 2, 2, 2, 2, 4,
                                                        2, 2, 2, 5, 2, 5, 3, 7, 2, 2};

// Which parameters travel in command 0x42 (the companion command); all other
// valid parameters travel in command 0x44.
bool isCompanionParameter(int number) {
    switch (number) {
    case 4:
    case 10:
    case 11:
    case 12:
    case 13:
    case 15:
    case 24:
    case 25:
    case 26: return true;
    default: return false;
    }
}

// The length of every command the unit knows, from 0xF0 to 0xF7; 0 if unknown.
size_t commandLength(uint8_t command) {
    switch (command) {
    case 0x01: return 6;  // identity request
    case 0x0B: return 6;  // begin firmware update
    case 0x20: return 6;  // capture tuning
    case 0x22: return 8;  // erase EEPROM, "ER"
    case 0x3E: return 7;  // play mode
    case 0x40: return 6;  // settings request
    case 0x42: return 8;  // set companion parameter
    case 0x44: return 8;  // set parameter
    case 0x46: return 7;  // recall profile
    case 0x50: return 7;  // item request
    case 0x52: return 30; // profile name
    case 0x54: return 6;  // store profile
    case 0x56: return 7;  // calibration value request
    case 0x58: return 9;  // set value live
    case 0x5A: return 9;  // store value
    case 0x5C: return 14; // varispeed frequency
    case 0x5E: return 6;  // varispeed release
    case 0x60: return 7;  // link flag
    default: return 0;
    }
}

// Varispeed values the unit can lock to: 40 000 000 to 52 025 000 mHz.
constexpr uint32_t kVarispeedMin = 680239115;
constexpr uint32_t kVarispeedMax = 884736000;
// The word clock runs at K / value millihertz.
constexpr int64_t kVarispeedConstant = 35389440000000000LL;

// Oscillator calibration words as tuned at the factory.
constexpr uint16_t kFactoryVcxo = 0x7F3A;
constexpr uint32_t kFactoryTcxo = 0x000186A0;
// What capture tuning (command 0x20) moves the words by: the oscillators
// have drifted a little since the factory.
constexpr uint16_t kTuningVcxoStep = 3;
constexpr uint32_t kTuningTcxoStep = 100;

// How a unit with the firmware of a complete image identifies itself.
constexpr uint8_t kImageReportKind = 0x0A;

constexpr int64_t kDayMicroseconds = 86400LL * 1000000;

std::string format(const char* fmt, int a = 0, int b = 0, int c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

Verdict violation(std::string text) {
    Verdict v;
    v.kind = Verdict::Violation;
    v.text = "protocol violation: " + text;
    return v;
}

Verdict unknown(std::string text) {
    Verdict v;
    v.kind = Verdict::Unknown;
    v.text = "unknown: " + text;
    return v;
}

Verdict accepted(std::string text) {
    Verdict v;
    v.text = std::move(text);
    return v;
}

Verdict ignored(std::string text) {
    Verdict v;
    v.kind = Verdict::Ignored;
    v.text = "ignored without firmware: " + text;
    return v;
}

int upperHexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One Intel HEX record: ':', pairs of upper-case hexadecimal digits for byte
// count, address (two bytes), type, data and checksum. Returns false with the
// reason in `why`.
bool checkRecord(const uint8_t* s, size_t n, int& type, int& count, std::string& why) {
    if (n == 0 || s[0] != ':') {
        why = "does not begin with ':'";
        return false;
    }
    if ((n - 1) % 2 != 0) {
        why = "odd number of hexadecimal digits";
        return false;
    }
    std::vector<int> bytes;
    for (size_t i = 1; i + 1 < n; i += 2) {
        const int hi = upperHexDigit(s[i]), lo = upperHexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) {
            why = format("character at %d is not an upper-case hexadecimal digit", static_cast<int>(i));
            return false;
        }
        bytes.push_back(hi * 16 + lo);
    }
    if (bytes.size() < 5) {
        why = "shorter than count, address, type and checksum";
        return false;
    }
    count = bytes[0];
    if (bytes.size() != static_cast<size_t>(count) + 5) {
        why = format("byte count %d, but %d data bytes", count, static_cast<int>(bytes.size()) - 5);
        return false;
    }
    int sum = 0;
    for (int b : bytes)
        sum += b;
    if (sum % 256 != 0) {
        why = format("checksum 0x%02X is wrong (0x%02X expected)", bytes.back(), (bytes.back() - sum) & 0xFF);
        return false;
    }
    type = bytes[3];
    // Data, end of file, segment address, start segment, linear address, start linear.
    const int lengths[6] = {-1, 0, 2, 4, 2, 4};
    if (type > 5) {
        why = format("record type 0x%02X", type);
        return false;
    }
    if (lengths[type] >= 0 && count != lengths[type]) {
        why = format("record type 0x%02X with %d data bytes", type, count);
        return false;
    }
    return true;
}

void putNibbles(Bytes& out, uint32_t value, int nibbles) {
    for (int i = nibbles - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>((value >> (4 * i)) & 0x0F));
}

bool nibblesValid(const uint8_t* b, size_t first, size_t count) {
    for (size_t i = first; i < first + count; ++i)
        if (b[i] > 0x0F) return false;
    return true;
}

// Room for the longest report, so appending never reallocates.
Bytes frame(uint8_t report) {
    Bytes b;
    b.reserve(64);
    for (uint8_t byte : {kSysEx, kManufacturer, kTag1, kTag2, report})
        b.push_back(byte);
    return b;
}

} // namespace

int calibrationIndex(uint8_t item) {
    switch (item) {
    case kSubcarrierPhaseItem: return 0;
    case kHPhaseOffsetItem: return 1;
    case kUserCalibrationItem: return 2;
    default: return -1;
    }
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    char cell[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

UnitModel::UnitModel() {
    serial = {'1', '2', '3', '4'};
    firmware = {'0', '3', '0', '1'};
    factoryReset();
}

namespace {

// Internal reference, PAL 25, 1080i 50, outputs 1-4 SD and 5-6 HD, audio
// following video at 48 kHz, LTC 25 fps, word clock x1, AES and SPDIF x1.
Settings factorySettings() {
    Settings s;
    const uint8_t defaults[kParameterCount + 1] = {0, 1, 2, 1, 3, 1, 1, 2, 2, 1,
                                                   2, 1, 1, 3, 1, 1, 1, 1, 1, 1};
    for (int i = 1; i <= kParameterCount; ++i)
        s.parameter[i] = defaults[i];
    return s;
}

} // namespace

void UnitModel::factoryReset() {
    live = factorySettings();
    currentProfile = 0;
    factoryStoredValues();
    configProtect = false;
    saveEnabled = true;
    varispeed = false;
    varispeedValue = 0;
    std::memset(calibrationLive, 0, sizeof calibrationLive);
    linkFlag = false;
    playMode = 0;
    mmcMode = 0x0A;
    std::memset(locateTarget, 0, sizeof locateTarget);
    generatorCommand = -1;
    std::memset(commandCount, 0, sizeof commandCount);
    std::memset(mmcCount, 0, sizeof mmcCount);
    generator = TimeCodeGenerator{};
    ltcReader = RunningTimeCode{};
    playSeen = false;
    playOffsetMs = 0;
    quarterFramesSent = 0;
    updatePrepared = false;
    transfer = FirmwareTransfer{};
    firmwareFailure = FirmwareFailure::None;
    vanishAfterRecords = 0;
    rejectedRecord = 0;
}

// What the EEPROM holds: the user profiles with their names, the stored
// calibration values and the oscillator tuning.
void UnitModel::factoryStoredValues() {
    const Settings s = factorySettings();
    for (int k = 0; k < 4; ++k) {
        profiles[k].settings = s;
        profiles[k].name.fill(0);
        char name[13];
        std::snprintf(name, sizeof name, "Profile %d", k + 1);
        std::memcpy(profiles[k].name.data(), name, std::strlen(name));
    }
    configProtectStored = false;
    std::memset(calibrationStored, 0, sizeof calibrationStored);
    vcxoWord = kFactoryVcxo;
    auxiliaryWord = 0x0000;
    tcxoWord = kFactoryTcxo;
}

bool UnitModel::erased() const {
    for (uint8_t b : firmware)
        if (b != 0x7F) return false;
    return true;
}

void UnitModel::erase(const Moment& at) {
    firmware.fill(0x7F);
    generator.stop(at.clock);
}

void UnitModel::setPullDown(bool on, const Moment& at) {
    FrameRate rate = generator.rate();
    if (rate.pullDown == on) return;
    rate.pullDown = on;
    generator.setRate(rate, at.clock);
}

int64_t UnitModel::wordClockMilliHertz() const {
    if (!varispeed || varispeedValue == 0) return 0;
    return (kVarispeedConstant + varispeedValue / 2) / varispeedValue;
}

int UnitModel::offsetMilliseconds(double timeCodeMs, int64_t wall) {
    int64_t ofDay = wall % kDayMicroseconds;
    if (ofDay < 0) ofDay += kDayMicroseconds;
    double d = timeCodeMs - static_cast<double>(ofDay) / 1000.0;
    const double day = kDayMicroseconds / 1000.0;
    while (d > day / 2)
        d -= day;
    while (d <= -day / 2)
        d += day;
    return static_cast<int>(std::lround(d));
}

bool UnitModel::parameterValid(int number, int value) {
    if (number >= 1 && number <= kParameterCount) return value >= 1 && value <= kParameterMax[number];
    if (number >= kBlackDolbyParameter && number <= kExtVideoLockParameter) return value == 0 || value == 1;
    return false;
}

int UnitModel::parameter(int number) const {
    if (number >= 1 && number <= kParameterCount) return live.parameter[number];
    if (number == kBlackDolbyParameter) return live.blackDolby;
    if (number == kNtscBlackParameter) return live.ntscBlack;
    if (number == kExtVideoLockParameter) return live.extVideoLock;
    return -1;
}

bool UnitModel::setParameter(int number, int value) {
    if (!parameterValid(number, value)) return false;
    if (number <= kParameterCount)
        live.parameter[number] = static_cast<uint8_t>(value);
    else if (number == kBlackDolbyParameter)
        live.blackDolby = value;
    else if (number == kNtscBlackParameter)
        live.ntscBlack = value;
    else
        live.extVideoLock = value;
    return true;
}

uint8_t UnitModel::flags() const {
    uint8_t f = static_cast<uint8_t>(currentProfile & 3);
    if (live.ntscBlack) f |= 0x04;
    if (live.extVideoLock) f |= 0x08;
    if (live.blackDolby) f |= 0x10;
    if (configProtect) f |= 0x20;
    if (varispeed) f |= 0x40;
    return f;
}

void UnitModel::recallProfile(int slot) {
    live = profiles[slot].settings;
    currentProfile = slot;
}

bool UnitModel::storeProfile() {
    if (!saveEnabled) return false;
    profiles[currentProfile].settings = live;
    return true;
}

int UnitModel::calibration(uint8_t item, bool stored) const {
    if (item == kConfigProtectItem) return stored ? configProtectStored : configProtect;
    int i = calibrationIndex(item);
    if (i < 0) return -1;
    return stored ? calibrationStored[i] : calibrationLive[i];
}

bool UnitModel::setCalibration(uint8_t item, uint8_t value, bool stored) {
    if (item == kConfigProtectItem) {
        if (value > 1) return false;
        (stored ? configProtectStored : configProtect) = value;
        return true;
    }
    int i = calibrationIndex(item);
    if (i < 0) return false;
    (stored ? calibrationStored : calibrationLive)[i] = value;
    return true;
}

Bytes UnitModel::identityReport() const {
    Bytes b = frame(reportKind);
    b.reserve(14);
    for (uint8_t digit : serial)
        b.push_back(digit);
    for (uint8_t digit : firmware)
        b.push_back(digit);
    b.push_back(kEndOfExclusive);
    return b;
}

Bytes UnitModel::settingsReport() const {
    Bytes b = frame(0x41);
    b.push_back(flags());
    for (int i = 1; i <= kParameterCount; ++i)
        b.push_back(live.parameter[i]);
    b.push_back(saveEnabled ? 0x01 : 0x00);
    b.push_back(kEndOfExclusive);
    return b;
}

Bytes UnitModel::profileNameReport(uint8_t item) const {
    int slot = 0;
    while (kProfileNameItems[slot] != item)
        ++slot;
    Bytes b = frame(0x51);
    b.push_back(item);
    for (uint8_t c : profiles[slot].name)
        putNibbles(b, c, 2);
    b.push_back(kEndOfExclusive);
    return b;
}

Bytes UnitModel::oscillatorReport() const {
    Bytes b = frame(0x51);
    b.push_back(kOscillatorItem);
    putNibbles(b, vcxoWord, 4);      // bytes 6..9
    putNibbles(b, auxiliaryWord, 4); // bytes 10..13
    putNibbles(b, tcxoWord, 8);      // bytes 14..21
    b.push_back(kEndOfExclusive);
    return b;
}

Bytes UnitModel::calibrationReport(uint8_t item) const {
    Bytes b = frame(0x57);
    b.push_back(item);
    putNibbles(b, calibrationLive[calibrationIndex(item)], 2);
    b.push_back(kEndOfExclusive);
    return b;
}

Bytes UnitModel::mmcModeResponse() const {
    const uint8_t mode = static_cast<uint8_t>((mmcMode & ~0x10) | (pullDown() ? 0x10 : 0x00));
    return Bytes{kSysEx, 0x7F, 0x00, 0x07, 0x46, 0x01, mode, kEndOfExclusive};
}

Bytes UnitModel::fullFrame(const TimeCode& t, int rateCode) {
    return Bytes{kSysEx,
                 0x7F,
                 0x7F,
                 0x01,
                 0x01,
                 static_cast<uint8_t>((rateCode & 3) << 5 | t.hours),
                 static_cast<uint8_t>(t.minutes),
                 static_cast<uint8_t>(t.seconds),
                 static_cast<uint8_t>(t.frames),
                 kEndOfExclusive};
}

Bytes UnitModel::eventReport(uint8_t status) {
    Bytes b = frame(0x61);
    b.push_back(status);
    b.push_back(kEndOfExclusive);
    return b;
}

Verdict UnitModel::receive(const uint8_t* b, size_t n, const Moment& at) {
    if (n == 0) return violation("empty message");
    if (b[0] != kSysEx) {
        // Short messages carry nothing the unit understands.
        if (b[0] >= 0x80 && b[0] != kEndOfExclusive)
            return unknown(format("short message, status 0x%02X", b[0]));
        return violation(format("message starts with 0x%02X, not 0xF0", b[0]));
    }
    if (n < 3 || b[n - 1] != kEndOfExclusive) return violation("SysEx message does not end with 0xF7");
    for (size_t i = 1; i + 1 < n; ++i)
        if (b[i] > 0x7F)
            return violation(
                format("status byte 0x%02X inside the message at byte %d", b[i], static_cast<int>(i)));

    if (b[1] == kManufacturer) {
        if (n >= 6 && b[2] == kTag1 && b[3] == kTag2) {
            if (erased() && b[4] != 0x01 && b[4] != 0x0B) return ignored(format("command 0x%02X", b[4]));
            return deviceCommand(b, n, at);
        }
        // Firmware frames: F0 2C, the 32-character image header ("ZF..."), F7;
        // F0 2C 7F, the characters of one image record, F7.
        if (n == 35 && b[2] == 'Z' && b[3] == 'F') return firmwareHeader(b + 2, at);
        if (n >= 4 && b[2] == 0x7F) return firmwareRecord(b + 3, n - 4);
        return violation("manufacturer 0x2C without the product tag 5A 42");
    }
    if (b[1] == 0x7F) {
        if (erased()) return ignored("universal real-time message");
        return mmcCommand(b, n, at);
    }
    Verdict v;
    v.kind = Verdict::Unknown;
    v.text = format("unknown: SysEx of another manufacturer (0x%02X)", b[1]);
    return v;
}

Verdict UnitModel::deviceCommand(const uint8_t* b, size_t n, const Moment& at) {
    const uint8_t command = b[4];
    const size_t expected = commandLength(command);
    if (expected == 0) return unknown(format("command 0x%02X", command));
    if (n != expected)
        return violation(format("command 0x%02X is %d bytes long, not %d", command, static_cast<int>(n),
                                static_cast<int>(expected)));

    Verdict v;
    char text[160];
    switch (command) {
    case 0x01:
        v = accepted("identity request");
        v.replies.push_back(identityReport());
        break;
    case 0x0B:
        if (firmwareFailure == FirmwareFailure::Silent) {
            v = accepted("begin firmware update: not answered (failure injected)");
            break;
        }
        if (firmwareFailure == FirmwareFailure::VanishAtBegin) {
            v = accepted("begin firmware update: not answered, the unit vanishes (failure injected)");
            v.vanish = true;
            break;
        }
        updatePrepared = true;
        v = accepted("begin firmware update: report 0x0C; firmware is erased when the ports close");
        v.replies.push_back(frame(0x0C));
        v.replies.back().push_back(kEndOfExclusive);
        break;
    case 0x20:
        vcxoWord = static_cast<uint16_t>(vcxoWord + kTuningVcxoStep);
        tcxoWord += kTuningTcxoStep;
        std::snprintf(text, sizeof text, "capture tuning: VCXO 0x%04X, TCXO 0x%08lX", vcxoWord,
                      static_cast<unsigned long>(tcxoWord));
        v = accepted(text);
        break;
    case 0x22:
        if (b[5] != 'E' || b[6] != 'R') return violation("command 0x22 without the letters \"ER\"");
        factoryStoredValues();
        v = accepted("erase EEPROM: profiles, names, stored calibration and tuning back to factory values");
        break;
    case 0x3E:
        if (b[5] != 2 && b[5] != 3) return violation(format("play mode %d (2 or 3)", b[5]));
        playMode = b[5];
        setPullDown(b[5] == 3, at);
        v = accepted(
            format(b[5] == 3 ? "play mode %d: pulled-down rates" : "play mode %d: nominal rates", b[5]));
        break;
    case 0x40:
        v = accepted("settings request");
        v.replies.push_back(settingsReport());
        break;
    case 0x42:
    case 0x44: {
        const int number = b[5], value = b[6];
        if (!parameterValid(number, 1) && !parameterValid(number, 0))
            return violation(format("command 0x%02X with unknown parameter %d", command, number));
        if (isCompanionParameter(number) != (command == 0x42))
            return violation(format("parameter %d sent with command 0x%02X", number, command));
        if (!parameterValid(number, value))
            return violation(format("parameter %d value %d out of range", number, value));
        setParameter(number, value);
        v = accepted(format("parameter %d = %d", number, value));
        break;
    }
    case 0x46:
        if (b[5] < 1 || b[5] > 4) return violation(format("recall of profile %d (1 to 4)", b[5]));
        recallProfile(b[5] - 1);
        v = accepted(format("recall profile %d", b[5]));
        break;
    case 0x50: {
        const uint8_t item = b[5];
        if (item == kOscillatorItem) {
            v = accepted("oscillator calibration request");
            v.replies.push_back(oscillatorReport());
            break;
        }
        int slot = -1;
        for (int k = 0; k < 4; ++k)
            if (kProfileNameItems[k] == item) slot = k;
        if (slot < 0) return violation(format("item request with item code 0x%02X", item));
        v = accepted(format("name request, profile %d", slot + 1));
        v.replies.push_back(profileNameReport(item));
        break;
    }
    case 0x52: {
        if (!nibblesValid(b, 5, 24)) return violation("profile name with a nibble above 0x0F");
        auto& name = profiles[currentProfile].name;
        for (int i = 0; i < 12; ++i)
            name[i] = static_cast<uint8_t>(b[5 + 2 * i] << 4 | b[6 + 2 * i]);
        std::snprintf(text, sizeof text, "profile %d name \"%.12s\"", currentProfile + 1,
                      reinterpret_cast<const char*>(name.data()));
        v = accepted(text);
        break;
    }
    case 0x54:
        if (!storeProfile()) {
            v = accepted(format("store profile %d refused: saving is disabled", currentProfile + 1));
            break;
        }
        v = accepted(format("store profile %d", currentProfile + 1));
        break;
    case 0x56:
        if (calibrationIndex(b[5]) < 0)
            return violation(format("calibration request with item code 0x%02X", b[5]));
        v = accepted(format("calibration request, item 0x%02X", b[5]));
        v.replies.push_back(calibrationReport(b[5]));
        break;
    case 0x58:
    case 0x5A: {
        const uint8_t item = b[5];
        if (calibrationIndex(item) < 0 && item != kConfigProtectItem)
            return violation(format("command 0x%02X with item code 0x%02X", command, item));
        if (!nibblesValid(b, 6, 2))
            return violation(format("command 0x%02X value is not a nibble pair", command));
        const uint8_t value = static_cast<uint8_t>(b[6] << 4 | b[7]);
        if (!setCalibration(item, value, command == 0x5A))
            return violation(format("configuration protect value %d (0 or 1)", value));
        v = accepted(format(command == 0x58 ? "set item 0x%02X = %d" : "store item 0x%02X = %d", item,
                            static_cast<int8_t>(value)));
        break;
    }
    case 0x5C: {
        if (!nibblesValid(b, 5, 8)) return violation("varispeed value is not made of nibbles");
        uint32_t q = 0;
        for (int i = 0; i < 8; ++i)
            q = q << 4 | b[5 + i];
        if (q < kVarispeedMin || q > kVarispeedMax) {
            std::snprintf(text, sizeof text, "varispeed value %lu outside %lu..%lu",
                          static_cast<unsigned long>(q), static_cast<unsigned long>(kVarispeedMin),
                          static_cast<unsigned long>(kVarispeedMax));
            return violation(text);
        }
        varispeed = true;
        varispeedValue = q;
        std::snprintf(text, sizeof text, "varispeed on, value %lu: word clock %lld mHz",
                      static_cast<unsigned long>(q), static_cast<long long>(wordClockMilliHertz()));
        v = accepted(text);
        break;
    }
    case 0x5E:
        varispeed = false;
        v = accepted("varispeed release");
        break;
    case 0x60:
        if (b[5] > 1) return violation(format("link flag %d (0 or 1)", b[5]));
        linkFlag = b[5];
        v = accepted(format("link flag %d", b[5]));
        break;
    }
    ++commandCount[command];
    return v;
}

Verdict UnitModel::mmcCommand(const uint8_t* b, size_t n, const Moment& at) {
    if (n < 5) return violation("universal real-time message too short");
    if (b[3] != 0x06) return unknown(format("universal real-time sub-ID 0x%02X", b[3]));
    if (b[2] != 0x7F && b[2] != 0x00) {
        Verdict v;
        v.kind = Verdict::NotForUs;
        v.text = format("MMC for device 0x%02X, not for this unit", b[2]);
        return v;
    }
    if (n < 6) return violation("MMC message without a command");
    const uint8_t command = b[4];
    Verdict v;
    switch (command) {
    case 0x01: {
        if (n != 6) return violation(format("MMC STOP is %d bytes long, not 6", static_cast<int>(n)));
        generator.stop(at.clock);
        const TimeCode t = generator.at(at.clock);
        v = accepted(format("MMC STOP at %02d:%02d:%02d", t.hours, t.minutes, t.seconds) +
                     format(":%02d", t.frames));
        break;
    }
    case 0x02: {
        if (n != 6) return violation(format("MMC PLAY is %d bytes long, not 6", static_cast<int>(n)));
        generator.play(at.clock);
        playSeen = true;
        playOffsetMs = offsetMilliseconds(generator.millisecondsAt(at.clock), at.wall);
        const TimeCode t = generator.at(at.clock);
        v = accepted(format("MMC PLAY from %02d:%02d:%02d", t.hours, t.minutes, t.seconds) +
                     format(":%02d, %d ms from local time", t.frames, playOffsetMs));
        break;
    }
    case 0x42:
        if (n != 9) return violation(format("MMC READ is %d bytes long, not 9", static_cast<int>(n)));
        if (b[5] != 0x02 || b[6] != 0x46 || b[7] != 0x01) return unknown("MMC READ of another field");
        v = accepted("MMC READ");
        v.replies.push_back(mmcModeResponse());
        break;
    case 0x44: {
        if (n != 13) return violation(format("MMC LOCATE is %d bytes long, not 13", static_cast<int>(n)));
        if (b[5] != 0x06 || b[6] != 0x01) return violation("MMC LOCATE without the TARGET sub-command");
        const int rateCode = b[7] >> 5 & 3;
        TimeCode t;
        t.hours = b[7] & 0x1F;
        t.minutes = b[8];
        t.seconds = b[9];
        t.frames = b[10] & 0x1F;
        const int sub = b[11];
        FrameRate rate = generator.rate();
        rate.code = rateCode;
        if (t.hours > 23 || t.minutes > 59 || t.seconds > 59 || t.frames >= rate.labelsPerSecond() ||
            sub > 99)
            return violation(
                format("MMC LOCATE to an impossible time %02d:%02d:%02d", t.hours, t.minutes, t.seconds) +
                format(":%02d at rate code %d", t.frames, rateCode));
        std::memcpy(locateTarget, b + 7, 5);
        // Drop-frame labels that do not exist stand for the first frame of their minute.
        generator.stop(at.clock);
        generator.set(t, rate, at.clock);
        t = generator.at(at.clock);
        v = accepted(format("MMC LOCATE %02d:%02d:%02d", t.hours, t.minutes, t.seconds) +
                     format(":%02d, rate code %d", t.frames, rateCode));
        v.replies.push_back(fullFrame(t, rateCode));
        v.replyDelayMs = kLocateMilliseconds;
        break;
    }
    case 0x4A: {
        if (n != 8)
            return violation(format("MMC GENERATOR COMMAND is %d bytes long, not 8", static_cast<int>(n)));
        if (b[5] != 0x01 || b[6] > 2) return violation("MMC GENERATOR COMMAND with a bad count or data byte");
        generatorCommand = b[6];
        if (b[6] == 0) {
            generator.stop(at.clock);
            v = accepted("MMC GENERATOR COMMAND 0: generator stopped");
        } else if (b[6] == 1) {
            generator.play(at.clock);
            v = accepted("MMC GENERATOR COMMAND 1: generator runs");
        } else if (!ltcReader.running()) {
            v = accepted("MMC GENERATOR COMMAND 2: no LTC at the reader, nothing to jam to");
        } else {
            // Jam: the generator takes the reader's time and rate and runs from there.
            const TimeCode t = ltcReader.at(at.clock);
            FrameRate rate = generator.rate();
            rate.code = ltcReader.rate().code;
            generator.set(t, rate, at.clock);
            generator.play(at.clock);
            v = accepted(format("MMC GENERATOR COMMAND 2: jammed to the LTC reader at %02d:%02d:%02d",
                                t.hours, t.minutes, t.seconds) +
                         format(":%02d", t.frames));
        }
        break;
    }
    default: return unknown(format("MMC command 0x%02X", command));
    }
    // A full frame still held back by a locate goes out before anything this
    // command brings (quarter frames, another full frame, the mode).
    v.releaseDelayed = true;
    ++mmcCount[command];
    return v;
}

Verdict UnitModel::portClosed(const Moment& at) {
    Verdict v;
    v.kind = Verdict::Ignored;
    if (updatePrepared) {
        updatePrepared = false;
        erase(at);
        transfer.open = false;
        v.text = "ports closed after report 0x0C: firmware ID erased";
        if (firmwareFailure == FirmwareFailure::VanishAtErase) {
            v.vanish = true;
            v.text += "; the unit vanishes (failure injected)";
        }
    } else if (transfer.open) {
        transfer.open = false;
        v.text = "ports closed before the end-of-file record: the image is incomplete, no firmware";
    }
    return v;
}

Verdict UnitModel::firmwareHeader(const uint8_t* header, const Moment& at) {
    erase(at);
    updatePrepared = false;
    transfer = FirmwareTransfer{};
    transfer.header = true;
    transfer.open = true;
    std::memcpy(transfer.version.data(), header + 2, 4); // "ZF0301...": firmware 0301
    Verdict v = accepted("firmware image header: code flash erased, waiting for records");
    if (firmwareFailure == FirmwareFailure::VanishAfter && vanishAfterRecords == 0) {
        v.vanish = true;
        v.text += "; the unit vanishes (failure injected)";
    }
    return v;
}

Verdict UnitModel::firmwareRecord(const uint8_t* line, size_t n) {
    const int number = ++transfer.records;
    std::string why;
    int type = -1, count = 0;
    if (!transfer.open)
        why = transfer.endOfFile ? "after the end-of-file record"
              : transfer.header  ? "after the transfer broke off"
                                 : "without an image header";
    else
        checkRecord(line, n, type, count, why);
    if (why.empty() && firmwareFailure == FirmwareFailure::RejectRecord && number == rejectedRecord)
        why = "rejected by the loader (failure injected)";

    Verdict v;
    if (!why.empty()) {
        ++transfer.errors;
        v = accepted(format("firmware record %d: error: ", number) + why);
    } else if (type == 0x01) {
        transfer.endOfFile = true;
        transfer.open = false;
        if (transfer.errors == 0) {
            firmware = transfer.version;
            reportKind = kImageReportKind;
            v = accepted(format("firmware record %d: end of file; firmware ", number) +
                         std::string(firmware.begin(), firmware.end()) +
                         format(" programmed (%d data bytes)", transfer.dataBytes));
        } else {
            v = accepted(
                format("firmware record %d: end of file; %d bad records, the unit stays without firmware",
                       number, transfer.errors));
        }
    } else {
        if (type == 0x00) transfer.dataBytes += count;
        v = accepted(format("firmware record %d: type %02X, %d bytes", number, type, count));
    }
    if (firmwareFailure == FirmwareFailure::VanishAfter && number == vanishAfterRecords) {
        v.vanish = true;
        v.text += "; the unit vanishes (failure injected)";
    }
    return v;
}

} // namespace sim
