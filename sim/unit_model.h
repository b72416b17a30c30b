// The zembrax HD as its firmware sees the MIDI cable: identity, settings,
// user profiles, calibration values and transport state, and what the unit
// does with each message the panel sends. No threads, no Windows calls: the
// simulator's world holds one UnitModel per unit under its lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "time_code.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// Settings parameters 1 to 19 travel in bytes 6 to 24 of report 0x41.
constexpr int kParameterCount = 19;
// Parameters 24 to 26 are switches shown as bits of byte 5 of report 0x41.
constexpr int kBlackDolbyParameter = 24;
constexpr int kNtscBlackParameter = 25;
constexpr int kExtVideoLockParameter = 26;

// Item codes of commands 0x50, 0x56, 0x58 and 0x5A.
constexpr uint8_t kProfileNameItems[4] = {0x0A, 0x1E, 0x32, 0x68};
constexpr uint8_t kOscillatorItem = 0x40;
constexpr uint8_t kSubcarrierPhaseItem = 0x48;
constexpr uint8_t kHPhaseOffsetItem = 0x79;
constexpr uint8_t kUserCalibrationItem = 0x51;
constexpr uint8_t kConfigProtectItem = 0x50;

// Status values of report 0x61.
constexpr uint8_t kEventSettingsChanged = 0x07;
constexpr uint8_t kEventProfileSaved = 0x08;

struct Settings {
    std::array<uint8_t, kParameterCount + 1> parameter{}; // [1] .. [19]; [0] unused
    bool blackDolby = false;                              // parameter 24, flag bit 4
    bool ntscBlack = false;                               // parameter 25, flag bit 2
    bool extVideoLock = false;                            // parameter 26, flag bit 3
};

struct Profile {
    std::array<uint8_t, 12> name{}; // as the unit keeps it: 12 bytes, no terminator
    Settings settings;
};

// What the unit made of one message.
struct Verdict {
    // Ignored: a message that a unit without firmware does not act on.
    enum Kind { Accepted, Violation, Unknown, NotForUs, Ignored } kind = Accepted;
    std::string text;            // one line for the wire log
    std::vector<Bytes> replies;  // messages the unit sends back, in order
    bool vanish = false;         // the unit unplugs itself after this message
    int replyDelayMs = 0;        // the replies go out this much later (the unit is busy first)
    bool releaseDelayed = false; // replies still held back go out now, before anything else
};

// How long the unit takes to locate before it announces the new position
// with a full frame.
constexpr int kLocateMilliseconds = 200;

// When a message reaches the unit: the simulator's clock and the PC's local
// time, both in microseconds (local time counted from 1601 as FILETIME does).
struct Moment {
    int64_t clock = 0;
    int64_t wall = 0;
};

// How a firmware update goes wrong on purpose (for tests of the panel).
enum class FirmwareFailure {
    None,
    Silent,        // command 0x0B is not answered and prepares nothing
    VanishAtErase, // the unit unplugs itself when its ports close after report 0x0C
    VanishAfter,   // the unit unplugs itself after a number of record messages (0: after the header)
    VanishAtBegin, // the unit unplugs itself when command 0x0B arrives, without answering it
    RejectRecord,  // the loader rejects one record of a transfer (a number) and the unit stays erased
};

// Record messages of the image transfer that began with the last header.
struct FirmwareTransfer {
    bool header = false;    // a header message arrived
    bool open = false;      // header arrived, end-of-file record not yet, ports not closed since
    bool endOfFile = false; // the end-of-file record arrived
    int records = 0;        // record messages received
    int dataBytes = 0;      // data bytes of valid data records
    int errors = 0;         // records that were malformed, out of place or of a bad type
    // The firmware a complete transfer programs: characters 3 to 6 of its header.
    std::array<uint8_t, 4> version{};
};

class UnitModel {
  public:
    UnitModel();

    // Back to the state the unit leaves the factory in (identity untouched).
    void factoryReset();

    // One complete message from the panel (one midiOutLongMsg or
    // midiOutShortMsg) at a moment; checked against the protocol and acted on.
    Verdict receive(const uint8_t* bytes, size_t count, const Moment& at);

    // The panel closed one of the unit's ports. Returns a line for the wire
    // log (empty: nothing happened) and whether the unit unplugs itself.
    Verdict portClosed(const Moment& at);

    // Without firmware (erased, firmware bytes 7F 7F 7F 7F) the unit answers
    // only the identity request, command 0x0B and the image messages.
    bool erased() const;
    void erase(const Moment& at);

    // Parameter access for the unit's own buttons and for tests. Numbers
    // 1..19 and 24..26; -1 for any other number.
    int parameter(int number) const;
    // Applies a value if number and value are valid; false otherwise.
    bool setParameter(int number, int value);
    static bool parameterValid(int number, int value);

    uint8_t flags() const;        // byte 5 of report 0x41
    void recallProfile(int slot); // slot 0..3
    bool storeProfile();          // into the current profile; false if saving is disabled

    // Calibration item (0x48, 0x79, 0x51, 0x50) live or stored; -1 for other codes.
    int calibration(uint8_t item, bool stored) const;
    bool setCalibration(uint8_t item, uint8_t value, bool stored);

    Bytes identityReport() const;
    Bytes settingsReport() const;
    Bytes profileNameReport(uint8_t item) const;
    Bytes oscillatorReport() const;
    Bytes calibrationReport(uint8_t item) const;
    Bytes mmcModeResponse() const;
    static Bytes eventReport(uint8_t status);
    static Bytes fullFrame(const TimeCode& t, int rateCode);

    // The pull-down setting (command 0x3E byte 5 = 3, bit 4 of the MMC mode).
    bool pullDown() const { return generator.rate().pullDown; }
    void setPullDown(bool on, const Moment& at);
    // Word-clock frequency of the varispeed value in millihertz; 0 without varispeed.
    int64_t wordClockMilliHertz() const;
    // Time code minus local time of day in milliseconds, wrapped to +-12 hours.
    static int offsetMilliseconds(double timeCodeMs, int64_t wall);

    // Identity.
    std::array<uint8_t, 4> serial{};
    std::array<uint8_t, 4> firmware{};
    uint8_t reportKind = 0x0A;

    // Current state.
    Settings live;
    int currentProfile = 0; // 0..3
    Profile profiles[4];
    bool configProtect = false;
    bool configProtectStored = false;
    bool saveEnabled = true;
    bool varispeed = false;
    uint32_t varispeedValue = 0;
    uint8_t calibrationLive[3] = {};   // 0x48, 0x79, 0x51
    uint8_t calibrationStored[3] = {}; // the same, as stored
    uint16_t vcxoWord = 0;
    uint16_t auxiliaryWord = 0; // bytes 10..13 of report 0x51 / 0x40
    uint32_t tcxoWord = 0;
    bool linkFlag = false;
    int playMode = 0;       // last byte of command 0x3E, 0 before the first
    uint8_t mmcMode = 0x0A; // low nibble 0x0A: MMC control, 0x00: LTC reader to MTC; bit 4 as pullDown()
    uint8_t locateTarget[5] = {}; // hours with rate bits, minutes, seconds, frames, subframes
    int generatorCommand = -1;    // data byte of the last MMC GENERATOR COMMAND
    int commandCount[128] = {};   // accepted device commands by command byte
    int mmcCount[128] = {};       // accepted MMC commands by MMC command byte

    // Time code.
    TimeCodeGenerator generator;
    RunningTimeCode ltcReader;
    bool playSeen = false; // an MMC PLAY arrived since the factory reset
    int playOffsetMs = 0;  // time code minus local time when it arrived
    int quarterFramesSent = 0;

    // Firmware update.
    bool updatePrepared = false; // report 0x0C sent; erases its firmware when its ports close
    FirmwareTransfer transfer;
    FirmwareFailure firmwareFailure = FirmwareFailure::None;
    int vanishAfterRecords = 0;
    int rejectedRecord = 0; // FirmwareFailure::RejectRecord: the record the loader rejects

  private:
    Verdict deviceCommand(const uint8_t* b, size_t n, const Moment& at);
    Verdict mmcCommand(const uint8_t* b, size_t n, const Moment& at);
    Verdict firmwareHeader(const uint8_t* header, const Moment& at);
    Verdict firmwareRecord(const uint8_t* line, size_t n);
    void factoryStoredValues();
};

// Index 0..2 of a calibration item in calibrationLive/Stored; -1 otherwise.
int calibrationIndex(uint8_t item);

// "F0 2C 5A 42 01 F7"
std::string hexBytes(const uint8_t* bytes, size_t count);

} // namespace sim
