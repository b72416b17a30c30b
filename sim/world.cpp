#include "world.h"

#include "sim_control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <thread>

namespace sim {

extern const char* loadTimeConfiguration(); // dllmain.cpp

namespace {

using std::chrono::milliseconds;

bool hasUnitPrefix(const std::string& name) {
    if (name.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != "zem"[i]) return false;
    return true;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::vector<std::string> split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(separator, from);
        parts.push_back(trim(s.substr(from, at == std::string::npos ? std::string::npos : at - from)));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

bool parseInt(const std::string& s, int base, long lo, long hi, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, base);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Number of data bytes that follow a status byte; -1 for bytes that start
// no message.
int dataBytesAfter(uint8_t status) {
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0)) return 2;
    if (status < 0xE0) return 1;
    switch (status) {
    case 0xF1:
    case 0xF3: return 1;
    case 0xF2: return 2;
    case 0xF6: return 0;
    default: return status >= 0xF8 ? 0 : -1;
    }
}

// Local time as microseconds since 1601.
int64_t localMicroseconds(const SYSTEMTIME& t) {
    FILETIME f;
    if (!SystemTimeToFileTime(&t, &f)) return 0;
    return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10);
}

int64_t localNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return localMicroseconds(t);
}

// "hh:mm:ss:ff/rate" with rate 24, 25, 30df or 30, or "now/rate": the PC's
// local time of day in whole seconds (frame 02 where drop-frame counting has
// no frame 00); false if malformed.
bool parseTimeCode(const std::string& text, TimeCode& t, int& rateCode) {
    int h, m, s, f;
    char rate[8] = {};
    const bool now = text.rfind("now/", 0) == 0;
    if (now) {
        SYSTEMTIME local;
        GetLocalTime(&local);
        h = local.wHour;
        m = local.wMinute;
        s = local.wSecond;
        f = 0;
        if (std::sscanf(text.c_str() + 4, "%7s", rate) != 1) return false;
    } else if (std::sscanf(text.c_str(), "%d:%d:%d:%d/%7s", &h, &m, &s, &f, rate) != 5) {
        return false;
    }
    const std::string r = rate;
    if (r == "24")
        rateCode = kRate24;
    else if (r == "25")
        rateCode = kRate25;
    else if (r == "30df" || r == "30DF")
        rateCode = kRate30Drop;
    else if (r == "30")
        rateCode = kRate30;
    else
        return false;
    t = TimeCode{h, m, s, f};
    if (now && !labelValid(t, rateCode)) t.frames = 2;
    return labelValid(t, rateCode);
}

DWORD pack(const Bytes& bytes) {
    DWORD packed = 0;
    for (size_t i = 0; i < bytes.size() && i < 4; ++i)
        packed |= static_cast<DWORD>(bytes[i]) << (8 * i);
    return packed;
}

} // namespace

std::string unitName(int unit) {
    return "unit " + std::to_string(unit);
}

World::World() : epoch(Clock::now()) {
    idleEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    resetToDefault();
}

void World::resetToDefault() {
    closeAllHandles();
    wineHandles = false;
    frontPanelSeconds = 0;
    ++frontPanelGeneration;
    inputs.assign(1, InputPort{});
    inputs[0].name = "ZEM HD MIDI In";
    outputs.assign(1, OutputPort{});
    outputs[0].name = "ZEM HD MIDI Out";
    units.clear();
    addUnit(0, 0);
    failures.clear();
    outputDoneDelay = 0;
    graceMs = kDefaultGraceMs;
    byteTime = kByteTime;
    manual = false;
    speedFactor = 1;
    realOffset = 0;
    stateChanged();
}

int64_t World::realClockNow() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch).count() * speedFactor +
           realOffset;
}

void World::setSpeed(int factor) {
    const int64_t now = realClockNow();
    speedFactor = std::max(1, factor);
    realOffset += now - realClockNow(); // the clock goes on from where it stands
    logLine("clock: " + std::to_string(speedFactor) + " times real time");
    stateChanged();
}

void World::misuse(const std::string& what) {
    ++driverMisuse;
    logLine("driver misuse: " + what);
}

uintptr_t World::inputQueueHolding(const MIDIHDR* header, uintptr_t except) const {
    for (const auto& [id, h] : inputHandles)
        if (id != except && std::find(h.queue.begin(), h.queue.end(), header) != h.queue.end()) return id;
    for (const KeptBuffers& k : kept)
        for (const PendingDone& p : k.headers)
            if (k.input && p.header == header) return k.handle;
    return 0;
}

uintptr_t World::outputHolding(const MIDIHDR* header) const {
    for (const auto& [id, h] : outputHandles)
        for (const PendingDone& p : h.pending)
            if (p.header == header) return id;
    for (const KeptBuffers& k : kept)
        for (const PendingDone& p : k.headers)
            if (!k.input && p.header == header) return k.handle;
    return 0;
}

uintptr_t World::newHandle() {
    if (!wineHandles) {
        const uintptr_t handle = nextHandle;
        nextHandle += 0x10;
        return handle;
    }
    // As Wine's WinMM: the first free entry of one table for all MIDI handles.
    uintptr_t handle = 0x8000;
    while (inputHandles.count(handle) || outputHandles.count(handle))
        ++handle;
    return handle;
}

void World::refusedClose(bool input, uintptr_t handle) {
    if (!wineHandles) return;
    KeptBuffers k;
    k.input = input;
    k.handle = handle;
    std::string port;
    if (input) {
        auto it = inputHandles.find(handle);
        if (it == inputHandles.end()) return;
        k.callback = it->second.callback;
        for (MIDIHDR* h : it->second.queue)
            k.headers.push_back(PendingDone{h, h->lpData, h->dwBufferLength, {}});
        InputPort& p = inputs[it->second.port];
        if (p.handle == handle) p.handle = 0;
        port = p.name;
        inputHandles.erase(it);
    } else {
        auto it = outputHandles.find(handle);
        if (it == outputHandles.end()) return;
        k.callback = it->second.callback;
        k.headers = it->second.pending;
        OutputPort& p = outputs[it->second.port];
        if (p.handle == handle) p.handle = 0;
        port = p.name;
        outputHandles.erase(it);
    }
    logLine(std::string(input ? "midiInClose" : "midiOutClose") + " refused: " + port + ": handle " +
            std::to_string(handle) + " freed all the same, its driver keeps " +
            std::to_string(k.headers.size()) + " header(s)");
    if (!k.headers.empty()) kept.push_back(std::move(k));
    stateChanged();
}

int World::writeKept(const uint8_t* bytes, size_t count, Deferred& deferred) {
    int handed = 0;
    for (const KeptBuffers& k : kept) {
        for (const PendingDone& p : k.headers) {
            MIDIHDR* h = p.header;
            // The program may have let go of a header its old driver still
            // held: the driver writes into it all the same.
            bool queuedAgain = false; // on a live handle
            for (const auto& [id, live] : inputHandles)
                queuedAgain =
                    queuedAgain || std::find(live.queue.begin(), live.queue.end(), h) != live.queue.end();
            if (queuedAgain || h->lpData != p.data || h->dwBufferLength != p.length ||
                !(h->dwFlags & MHDR_INQUEUE)) {
                misuse("header changed while the driver of freed handle " + std::to_string(k.handle) +
                       " still held it");
                continue;
            }
            if (k.input) {
                const size_t n = std::min<size_t>(count, h->dwBufferLength);
                if (n) std::memcpy(h->lpData, bytes, n);
                h->dwBytesRecorded = static_cast<DWORD>(n);
                h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
                notify(k.callback, k.handle, MM_MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(h), 0, deferred);
            } else {
                h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
                notify(k.callback, k.handle, MM_MOM_DONE, reinterpret_cast<DWORD_PTR>(h), 0, deferred);
            }
            ++handed;
        }
        logLine("driver of freed handle " + std::to_string(k.handle) + " hands back " +
                std::to_string(k.headers.size()) + " header(s)" +
                (k.input ? " written with " + hexBytes(bytes, count) : std::string()));
    }
    kept.clear();
    stateChanged();
    return handed;
}

int64_t World::clockNow() const {
    return manual ? manualNow : realClockNow();
}

int64_t World::wallNow() const {
    return manual ? wallBase + (manualNow - wallBaseAt) : localNow();
}

Moment World::momentAt(Clock::time_point arrival) const {
    if (manual) return Moment{manualNow, wallNow()};
    const int64_t ahead =
        std::chrono::duration_cast<std::chrono::microseconds>(arrival - Clock::now()).count();
    return Moment{realClockNow() + ahead * speedFactor, localNow() + ahead};
}

void World::useManualClock(bool on) {
    if (on == manual) return;
    if (on) {
        runGenerators(realClockNow()); // what fell due in real time goes out first
        manualNow = realClockNow();
        wallBase = localNow();
        wallBaseAt = manualNow;
        manual = true;
        logLine("clock: manual");
    } else {
        realOffset += manualNow - realClockNow();
        manual = false;
        logLine("clock: real time");
    }
    stateChanged();
}

void World::setWallClock(int64_t localMicros) {
    wallBase = localMicros;
    wallBaseAt = clockNow();
}

int World::advance(int64_t microseconds) {
    if (!manual) return -1;
    const int64_t target = manualNow + std::max<int64_t>(0, microseconds);
    const int sent = runGenerators(target);
    manualNow = target;
    stateChanged();
    return sent;
}

int World::runGenerators(int64_t until) {
    int sent = 0;
    for (;;) {
        int unit = -1;
        int64_t due = until;
        for (int k = 0; k < static_cast<int>(units.size()); ++k) {
            const int64_t d = units[k].model.generator.nextQuarterDue();
            if (d < due) {
                due = d;
                unit = k;
            }
        }
        if (unit < 0) return sent;
        UnitModel& m = units[unit].model;
        TimeCode cycle;
        const uint8_t data = m.generator.takeQuarter(&cycle);
        ++m.quarterFramesSent;
        sendQuarterFrame(unit, data, cycle);
        ++sent;
    }
}

Clock::time_point World::nextGeneratorTime() const {
    if (manual) return Clock::time_point::max();
    int64_t due = kNever;
    for (const Unit& u : units)
        due = std::min(due, u.model.generator.nextQuarterDue());
    if (due == kNever) return Clock::time_point::max();
    return epoch + std::chrono::microseconds((due - realOffset) / speedFactor + 1);
}

void World::sendQuarterFrame(int unit, uint8_t data, const TimeCode& cycle) {
    Unit& u = units[unit];
    if (!u.plugged || u.inputPort < 0) return;
    if ((data >> 4) == 0) {
        char text[96];
        std::snprintf(text, sizeof text, " -> panel: MTC quarter frames of %02d:%02d:%02d:%02d", cycle.hours,
                      cycle.minutes, cycle.seconds, cycle.frames);
        logLine(unitName(unit) + text);
    }
    InputItem item;
    item.kind = InputItem::Short;
    item.unit = unit;
    item.quiet = true;
    item.bytes.push_back(0xF1);
    item.bytes.push_back(data);
    enqueue(u.inputPort, std::move(item), Clock::now());
}

void World::portClosed(bool input, int port) {
    // The driver drops what it had not yet sent (the unit has acted on it):
    // the next open starts on a free wire.
    if (!input) outputs[port].wireFree = Clock::now();
    for (int k = 0; k < static_cast<int>(units.size()); ++k) {
        Unit& u = units[k];
        if (!u.plugged || (input ? u.inputPort : u.outputPort) != port) continue;
        const Verdict v = u.model.portClosed(momentAt(Clock::now()));
        if (!v.text.empty()) logLine(unitName(k) + ": " + v.text);
        if (v.vanish) unplug(k);
    }
}

void World::releaseDelayed(int unit, Clock::time_point now, bool all) {
    std::vector<DelayedReply> keep;
    for (DelayedReply& d : delayed) {
        if (d.unit == unit && (all || d.due <= now))
            unitSends(unit, d.bytes.data(), d.bytes.size(), now);
        else
            keep.push_back(std::move(d));
    }
    delayed.swap(keep);
}

void World::unplug(int unit) {
    Unit& u = units[unit];
    for (auto it = delayed.begin(); it != delayed.end();)
        it = it->unit == unit ? delayed.erase(it) : std::next(it);
    u.plugged = false;
    for (auto& [id, h] : inputHandles)
        if (h.port == u.inputPort && !h.dead) {
            h.dead = true;
            h.deadFaults = u.unplugFaults;
        }
    for (auto& [id, h] : outputHandles)
        if (h.port == u.outputPort && !h.dead) {
            h.dead = true;
            h.deadFaults = u.unplugFaults;
        }
    if (u.inputPort >= 0) {
        auto& wire = inputs[u.inputPort].wire;
        for (auto it = wire.begin(); it != wire.end();)
            it = it->unit == unit ? wire.erase(it) : std::next(it);
    }
    logLine(unitName(unit) + " unplugged");
    stateChanged();
}

void World::replug(int unit) {
    Unit& u = units[unit];
    u.plugged = true;
    // The dead handles belong to the device that left; they keep failing,
    // but no longer hold its ports.
    if (u.inputPort >= 0) {
        auto it = inputHandles.find(inputs[u.inputPort].handle);
        if (it != inputHandles.end() && it->second.dead) inputs[u.inputPort].handle = 0;
    }
    if (u.outputPort >= 0) {
        auto it = outputHandles.find(outputs[u.outputPort].handle);
        if (it != outputHandles.end() && it->second.dead) outputs[u.outputPort].handle = 0;
        outputs[u.outputPort].wireFree = Clock::now(); // what was on its way went with the old device
    }
    logLine(unitName(unit) + " plugged in");
    stateChanged();
}

bool World::deadCallFails(bool dead, int deadFaults, int fault, const char* function) {
    if (!dead || !(deadFaults & fault)) return false;
    logLine(std::string("unplugged: ") + function + " on a dead handle returns " +
            std::to_string(MMSYSERR_NODRIVER));
    return true;
}

void World::closeAllHandles() {
    closeHandlesOfInputs();
    closeHandlesOfOutputs();
}

void World::closeHandlesOfInputs() {
    inputHandles.clear();
    kept.erase(std::remove_if(kept.begin(), kept.end(), [](const KeptBuffers& k) { return k.input; }),
               kept.end());
    delayed.clear();
    for (auto& p : inputs) {
        p.handle = 0;
        p.wire.clear();
    }
    stateChanged();
}

void World::closeHandlesOfOutputs() {
    outputHandles.clear();
    kept.erase(std::remove_if(kept.begin(), kept.end(), [](const KeptBuffers& k) { return !k.input; }),
               kept.end());
    delayed.clear();
    for (auto& p : outputs)
        p.handle = 0;
    stateChanged();
}

int World::addUnit(int inputIndex, int outputIndex) {
    if (inputIndex < -1 || inputIndex >= static_cast<int>(inputs.size())) return -1;
    if (outputIndex < -1 || outputIndex >= static_cast<int>(outputs.size())) return -1;
    Unit u;
    u.inputPort = inputIndex;
    u.outputPort = outputIndex;
    const int number = static_cast<int>(units.size());
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", (1234 + number) % 10000);
    std::memcpy(u.model.serial.data(), digits, 4);
    units.push_back(std::move(u));
    return number;
}

bool World::configure(const std::string& text, std::string& error) {
    if (applyConfiguration(text, error)) return true;
    resetToDefault();
    return false;
}

bool World::applyConfiguration(const std::string& text, std::string& error) {
    resetToDefault();
    long unitCount = -1, grace = -1, outDelay = -1, frontPanel = -1, speedValue = -1, byteMicros = -1;
    bool haveInputs = false, haveOutputs = false;
    std::vector<std::string> inputNames, outputNames, serials, firmwares, kinds, unitInputs, unitOutputs,
        firmwareFailures, ltcReaders, timeCodes;
    std::string wireLogPath;
    for (const std::string& entry : split(text, ';')) {
        if (entry.empty()) continue;
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            error = "entry without '=': " + entry;
            return false;
        }
        std::string key = trim(entry.substr(0, eq)), value = trim(entry.substr(eq + 1));
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "units") {
            if (!parseInt(value, 10, 0, 16, unitCount)) {
                error = "units must be 0 to 16: " + value;
                return false;
            }
        } else if (key == "inputs") {
            haveInputs = true;
            if (!value.empty()) inputNames = split(value, '|');
        } else if (key == "outputs") {
            haveOutputs = true;
            if (!value.empty()) outputNames = split(value, '|');
        } else if (key == "serial")
            serials = split(value, ',');
        else if (key == "firmware")
            firmwares = split(value, ',');
        else if (key == "kind")
            kinds = split(value, ',');
        else if (key == "unitinputs")
            unitInputs = split(value, ',');
        else if (key == "unitoutputs")
            unitOutputs = split(value, ',');
        else if (key == "fwfailure")
            firmwareFailures = split(value, ',');
        else if (key == "ltc")
            ltcReaders = split(value, ',');
        else if (key == "timecode")
            timeCodes = split(value, ',');
        else if (key == "wirelog")
            wireLogPath = value;
        else if (key == "frontpanel") {
            if (!parseInt(value, 10, 1, 3600, frontPanel)) {
                error = "frontpanel must be 1 to 3600 seconds: " + value;
                return false;
            }
        } else if (key == "speed") {
            if (!parseInt(value, 10, 1, 1000, speedValue)) {
                error = "speed must be 1 to 1000: " + value;
                return false;
            }
        } else if (key == "grace") {
            if (!parseInt(value, 10, 0, 10000, grace)) {
                error = "grace must be 0 to 10000 ms: " + value;
                return false;
            }
        } else if (key == "bytetime") {
            if (!parseInt(value, 10, 0, 100000, byteMicros)) {
                error = "bytetime must be 0 to 100000 microseconds: " + value;
                return false;
            }
        } else if (key == "outdelay") {
            if (!parseInt(value, 10, 0, 10000, outDelay)) {
                error = "outdelay must be 0 to 10000 ms: " + value;
                return false;
            }
        } else {
            error = "unknown key: " + key;
            return false;
        }
    }

    if (!wireLogPath.empty()) setWireLog(wireLogPath.c_str());
    // Before the time codes start, so that they run at the new speed from their first frame.
    if (speedValue > 0) setSpeed(static_cast<int>(speedValue));
    const int count = unitCount < 0 ? 1 : static_cast<int>(unitCount);
    auto defaultNames = [count](const char* base) {
        std::vector<std::string> names;
        if (count == 1) names.push_back(base);
        for (int k = 1; count > 1 && k <= count; ++k)
            names.push_back(std::string(base) + " " + std::to_string(k));
        return names;
    };
    if (!haveInputs) inputNames = defaultNames("ZEM HD MIDI In");
    if (!haveOutputs) outputNames = defaultNames("ZEM HD MIDI Out");
    closeAllHandles();
    inputs.assign(inputNames.size(), InputPort{});
    for (size_t i = 0; i < inputNames.size(); ++i)
        inputs[i].name = inputNames[i];
    outputs.assign(outputNames.size(), OutputPort{});
    for (size_t i = 0; i < outputNames.size(); ++i)
        outputs[i].name = outputNames[i];

    // Without explicit attachment, unit k is on the k-th port whose name
    // begins with "ZEM" in each direction.
    auto nthUnitPort = [](const auto& ports, int k) {
        for (size_t i = 0; i < ports.size(); ++i)
            if (hasUnitPrefix(ports[i].name) && k-- == 0) return static_cast<int>(i);
        return -1;
    };
    units.clear();
    for (int k = 0; k < count; ++k) {
        long in = nthUnitPort(inputs, k), out = nthUnitPort(outputs, k);
        if (k < static_cast<int>(unitInputs.size()) &&
            !parseInt(unitInputs[k], 10, -1, static_cast<long>(inputs.size()) - 1, in)) {
            error = "unitinputs: no input port " + unitInputs[k];
            return false;
        }
        if (k < static_cast<int>(unitOutputs.size()) &&
            !parseInt(unitOutputs[k], 10, -1, static_cast<long>(outputs.size()) - 1, out)) {
            error = "unitoutputs: no output port " + unitOutputs[k];
            return false;
        }
        addUnit(static_cast<int>(in), static_cast<int>(out));
        UnitModel& m = units[k].model;
        if (k < static_cast<int>(serials.size())) {
            const std::string& s = serials[k];
            if (s.size() != 4 ||
                !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                error = "serial must be four digits: " + s;
                return false;
            }
            std::memcpy(m.serial.data(), s.data(), 4);
        }
        if (k < static_cast<int>(firmwares.size())) {
            const std::string& f = firmwares[k];
            if (f.size() == 4) {
                std::memcpy(m.firmware.data(), f.data(), 4);
            } else if (f.size() == 8) {
                for (int i = 0; i < 4; ++i) {
                    int hi = hexDigit(f[2 * i]), lo = hexDigit(f[2 * i + 1]);
                    if (hi < 0 || lo < 0 || hi > 7) {
                        error = "firmware: bad hexadecimal byte in " + f;
                        return false;
                    }
                    m.firmware[i] = static_cast<uint8_t>(hi * 16 + lo);
                }
            } else {
                error = "firmware must be four characters or eight hexadecimal digits: " + f;
                return false;
            }
        }
        if (k < static_cast<int>(kinds.size())) {
            long kind;
            if (!parseInt(kinds[k], 16, 0, 0x7F, kind)) {
                error = "kind must be a hexadecimal byte 00 to 7F: " + kinds[k];
                return false;
            }
            m.reportKind = static_cast<uint8_t>(kind);
        }
        if (k < static_cast<int>(firmwareFailures.size())) {
            const std::string& f = firmwareFailures[k];
            long records = 0;
            if (f == "none" || f.empty())
                m.firmwareFailure = FirmwareFailure::None;
            else if (f == "silent")
                m.firmwareFailure = FirmwareFailure::Silent;
            else if (f == "vanish-begin")
                m.firmwareFailure = FirmwareFailure::VanishAtBegin;
            else if (f == "vanish-erase")
                m.firmwareFailure = FirmwareFailure::VanishAtErase;
            else if (f.rfind("vanish-after-", 0) == 0 && parseInt(f.substr(13), 10, 0, 1000000, records)) {
                m.firmwareFailure = FirmwareFailure::VanishAfter;
                m.vanishAfterRecords = static_cast<int>(records);
            } else if (f.rfind("reject-", 0) == 0 && parseInt(f.substr(7), 10, 1, 1000000, records)) {
                m.firmwareFailure = FirmwareFailure::RejectRecord;
                m.rejectedRecord = static_cast<int>(records);
            } else {
                error = "fwfailure must be none, silent, vanish-begin, vanish-erase, vanish-after-N or "
                        "reject-N: " +
                        f;
                return false;
            }
        }
        // Unit k's entry of a per-unit time-code list ("-" or nothing: none).
        // Returns false for a malformed one, true otherwise; *given tells whether there was one.
        auto timeCodeEntry = [&](const std::vector<std::string>& list, const char* key, TimeCode& t,
                                 FrameRate& rate, bool& given) {
            given = k < static_cast<int>(list.size()) && list[k] != "-" && !list[k].empty();
            if (!given) return true;
            if (!parseTimeCode(list[k], t, rate.code)) {
                error =
                    std::string(key) + " must be hh:mm:ss:ff/rate with rate 24, 25, 30df or 30: " + list[k];
                return false;
            }
            return true;
        };
        TimeCode t;
        FrameRate rate;
        bool given = false;
        if (!timeCodeEntry(ltcReaders, "ltc", t, rate, given)) return false;
        if (given) {
            m.ltcReader.set(t, rate, clockNow());
            m.ltcReader.start(clockNow());
        }
        rate = FrameRate{};
        if (!timeCodeEntry(timeCodes, "timecode", t, rate, given)) return false;
        if (given) {
            m.generator.set(t, rate, clockNow());
            m.generator.play(clockNow()); // running from power-up, as for the demo
        }
    }
    if (grace >= 0) graceMs = static_cast<DWORD>(grace);
    if (byteMicros >= 0) byteTime = std::chrono::microseconds(byteMicros);
    if (frontPanel > 0) startFrontPanelOperator(frontPanel);
    if (outDelay >= 0) outputDoneDelay = static_cast<DWORD>(outDelay);
    stateChanged();
    return true;
}

bool World::portVisible(bool input, int port) const {
    bool attached = false, present = false;
    for (const Unit& u : units) {
        if ((input ? u.inputPort : u.outputPort) != port) continue;
        attached = true;
        present = present || u.plugged;
    }
    return !attached || present;
}

std::vector<int> World::visibleInputs() const {
    std::vector<int> v;
    for (int i = 0; i < static_cast<int>(inputs.size()); ++i)
        if (portVisible(true, i)) v.push_back(i);
    return v;
}

std::vector<int> World::visibleOutputs() const {
    std::vector<int> v;
    for (int i = 0; i < static_cast<int>(outputs.size()); ++i)
        if (portVisible(false, i)) v.push_back(i);
    return v;
}

bool World::injectedFailure(const char* function, MMRESULT& result) {
    auto it = failures.find(function);
    if (it == failures.end()) return false;
    FailRule& rule = it->second;
    if (rule.skip > 0) {
        --rule.skip;
        return false;
    }
    result = rule.result;
    if (rule.times > 0 && --rule.times == 0) failures.erase(it);
    logLine(std::string("injected failure: ") + function + " returns " + std::to_string(result));
    return true;
}

void World::enqueue(int port, InputItem item, Clock::time_point earliest) {
    InputPort& p = inputs[port];
    Clock::time_point start = std::max({earliest, Clock::now(), p.wireFree});
    item.start = start;
    p.wireFree = start + wire(item.bytes.size());
    p.wire.push_back(std::move(item));
    stateChanged();
}

void World::unitSends(int unit, const uint8_t* bytes, size_t count, Clock::time_point earliest) {
    Unit& u = units[unit];
    const std::string who = unitName(unit);
    if (!u.plugged) {
        logLine(who + " is unplugged, sends nothing: " + hexBytes(bytes, count));
        return;
    }
    if (u.inputPort < 0) {
        logLine(who + " has no input port, sends nothing: " + hexBytes(bytes, count));
        return;
    }
    logLine(who + " -> panel: " + hexBytes(bytes, count));

    // Split the byte stream into messages as a MIDI receiver does: SysEx up
    // to 0xF7 (or up to the status byte that cuts it short), short messages
    // by their status byte, running status for channel messages, real-time
    // bytes on their own.
    size_t i = 0;
    uint8_t running = 0;
    while (i < count) {
        const uint8_t b = bytes[i];
        InputItem item;
        item.unit = unit;
        if (b == 0xF0) {
            std::vector<InputItem> realTime;
            item.bytes.push_back(b);
            ++i;
            while (i < count) {
                const uint8_t c = bytes[i];
                if (c >= 0xF8) {
                    InputItem rt;
                    rt.unit = unit;
                    rt.kind = InputItem::Short;
                    rt.bytes.push_back(c);
                    realTime.push_back(rt);
                    ++i;
                    continue;
                }
                if (c >= 0x80 && c != 0xF7) break;
                item.bytes.push_back(c);
                ++i;
                if (c == 0xF7) break;
            }
            item.corrupt = u.corruptNext;
            u.corruptNext = false;
            running = 0;
            enqueue(u.inputPort, std::move(item), earliest);
            for (auto& rt : realTime)
                enqueue(u.inputPort, std::move(rt), earliest);
            continue;
        }
        uint8_t status = b;
        if (b < 0x80) {
            if (running == 0) {
                item.kind = InputItem::Error;
                item.bytes.push_back(b);
                enqueue(u.inputPort, std::move(item), earliest);
                ++i;
                continue;
            }
            status = running;
        } else {
            ++i;
            if (b < 0xF0)
                running = b;
            else if (b < 0xF8)
                running = 0;
        }
        const int need = dataBytesAfter(status);
        item.bytes.push_back(status);
        int got = 0;
        while (got < need && i < count && bytes[i] < 0x80) {
            item.bytes.push_back(bytes[i++]);
            ++got;
        }
        item.kind = (need >= 0 && got == need) ? InputItem::Short : InputItem::Error;
        enqueue(u.inputPort, std::move(item), earliest);
    }
}

void World::panelSends(int port, bool deadHandle, const uint8_t* bytes, size_t count) {
    OutputPort& p = outputs[port];
    const Clock::time_point start = std::max(Clock::now(), p.wireFree);
    p.wireFree = start + wire(count);
    const Clock::time_point arrived = p.wireFree;
    if (deadHandle) {
        logLine("panel -> " + p.name +
                " (unplugged, refused with MMSYSERR_NODRIVER): " + hexBytes(bytes, count));
        return;
    }
    bool heard = false;
    for (int k = 0; k < static_cast<int>(units.size()); ++k) {
        Unit& u = units[k];
        if (u.outputPort != port || !u.plugged) continue;
        heard = true;
        const std::string who = unitName(k);
        logLine("panel -> " + who + ": " + hexBytes(bytes, count));
        u.received.emplace_back(bytes, bytes + count);
        Verdict v = u.model.receive(bytes, count, momentAt(arrived));
        const bool identityRequest = count == 6 && bytes[1] == 0x2C && bytes[4] == 0x01;
        if (identityRequest && v.kind == Verdict::Accepted && u.identityRequestsToIgnore > 0) {
            --u.identityRequestsToIgnore;
            v.replies.clear();
            v.text += " (not answered: firmware not up yet)";
        }
        if (v.kind == Verdict::Violation) ++u.violations;
        if (v.kind == Verdict::Unknown) ++u.unknown;
        logLine(who + ": " + v.text);
        if (v.releaseDelayed) releaseDelayed(k, arrived, true);
        for (const Bytes& reply : v.replies) {
            if (v.replyDelayMs > 0)
                delayed.push_back(
                    DelayedReply{k, reply, arrived + std::chrono::milliseconds(v.replyDelayMs)});
            else
                unitSends(k, reply.data(), reply.size(), arrived);
        }
        if (v.vanish) unplug(k);
    }
    if (!heard) logLine("panel -> " + p.name + " (no unit listens): " + hexBytes(bytes, count));
    stateChanged(); // a generator may have started: the delivery thread looks again
}

void World::lose(const InputItem& item, const char* why) {
    if (item.quiet) return;
    std::string who = item.unit >= 0 ? unitName(item.unit) : std::string("unit ?");
    if (item.kind == InputItem::SysEx) {
        if (item.unit >= 0 && item.unit < static_cast<int>(units.size())) ++units[item.unit].lost;
        logLine(who + ": message lost (" + why + "): " + hexBytes(item.bytes.data(), item.bytes.size()));
    } else {
        logLine(who + ": short message dropped (" + why +
                "): " + hexBytes(item.bytes.data(), item.bytes.size()));
    }
}

void World::notify(const Callback& callback, uintptr_t handle, UINT message, DWORD_PTR p1, DWORD_PTR p2,
                   Deferred& deferred) {
    switch (callback.type & CALLBACK_TYPEMASK) {
    case CALLBACK_WINDOW:
        if (callback.target)
            PostMessageA(reinterpret_cast<HWND>(callback.target), message, static_cast<WPARAM>(handle),
                         static_cast<LPARAM>(p1));
        break;
    case CALLBACK_THREAD:
        PostThreadMessageA(static_cast<DWORD>(callback.target), message, static_cast<WPARAM>(handle),
                           static_cast<LPARAM>(p1));
        break;
    case CALLBACK_EVENT: SetEvent(reinterpret_cast<HANDLE>(callback.target)); break;
    case CALLBACK_FUNCTION:
        if (callback.target) {
            deferred.push_back(Notification{callback, handle, message, p1, p2});
            ++callbacksInFlight;
        }
        break;
    default: break;
    }
}

void World::runDeferred(std::unique_lock<std::mutex>& lock, Deferred& deferred) {
    if (deferred.empty()) return;
    Deferred calls;
    calls.swap(deferred);
    lock.unlock();
    for (const Notification& n : calls) {
        auto function = reinterpret_cast<void(CALLBACK*)(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(
            n.callback.target);
        function(reinterpret_cast<HDRVR>(n.handle), n.message, n.callback.instance, n.param1, n.param2);
    }
    lock.lock();
    callbacksInFlight -= static_cast<int>(calls.size());
    stateChanged();
}

void World::completeOutput(OutputHandle& handle, uintptr_t id, const PendingDone& done, Deferred& deferred) {
    MIDIHDR* h = done.header;
    // The panel may have let go of a header the driver still owned; touch it
    // only while it still looks like the one handed over.
    if (h->lpData != done.data || h->dwBufferLength != done.length || !(h->dwFlags & MHDR_INQUEUE)) {
        misuse("output header changed while the driver owned it; not marked done");
        return;
    }
    h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    notify(handle.callback, id, MM_MOM_DONE, reinterpret_cast<DWORD_PTR>(h), 0, deferred);
}

bool World::idle() const {
    if (callbacksInFlight || !delayed.empty()) return false;
    for (const auto& p : inputs)
        if (!p.wire.empty()) return false;
    for (const auto& [id, h] : outputHandles)
        if (!h.pending.empty()) return false;
    return true;
}

void World::stateChanged() {
    // The event only on a change: each SetEvent is a round trip to the
    // wineserver, and this runs on every WinMM call.
    const bool nowIdle = idle();
    if (nowIdle != idleSignalled) {
        if (nowIdle)
            SetEvent(idleEvent);
        else
            ResetEvent(idleEvent);
        idleSignalled = nowIdle;
    }
    changed.notify_all();
}

Clock::time_point World::serviceInput(int port, Clock::time_point now, Deferred& deferred) {
    InputPort& p = inputs[port];
    InputHandle* h = nullptr;
    if (p.handle) {
        auto it = inputHandles.find(p.handle);
        if (it != inputHandles.end()) h = &it->second;
    }
    while (!p.wire.empty()) {
        InputItem& item = p.wire.front();
        const Clock::time_point firstByte = item.start + wire(item.done + 1);
        if (now < firstByte) return firstByte;
        if (!h || !h->started || h->dead) {
            lose(item, !h ? "input port not open" : h->dead ? "unit unplugged" : "input not started");
            p.wire.pop_front();
            continue;
        }
        const DWORD stamp =
            static_cast<DWORD>(std::chrono::duration_cast<milliseconds>(now - h->startTime).count());
        if (item.kind != InputItem::SysEx) {
            const Clock::time_point last = item.start + wire(item.bytes.size());
            if (now < last) return last;
            notify(h->callback, p.handle, item.kind == InputItem::Short ? MM_MIM_DATA : MM_MIM_ERROR,
                   pack(item.bytes), stamp, deferred);
            p.wire.pop_front();
            continue;
        }
        if (h->queue.empty()) {
            const Clock::time_point deadline = firstByte + milliseconds(graceMs);
            if (now < deadline) return deadline;
            lose(item, "no input buffer queued in time");
            p.wire.pop_front();
            continue;
        }
        MIDIHDR* header = h->queue.front();
        const size_t length = std::min<size_t>(header->dwBufferLength, item.bytes.size() - item.done);
        const Clock::time_point last = item.start + wire(item.done + length);
        if (now < last) return last;
        std::memcpy(header->lpData, item.bytes.data() + item.done, length);
        header->dwBytesRecorded = static_cast<DWORD>(length);
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        h->queue.pop_front();
        item.done += length;
        if (item.corrupt) logLine(unitName(item.unit) + ": buffer handed over as MM_MIM_LONGERROR");
        notify(h->callback, p.handle, item.corrupt ? MM_MIM_LONGERROR : MM_MIM_LONGDATA,
               reinterpret_cast<DWORD_PTR>(header), stamp, deferred);
        if (item.done == item.bytes.size()) p.wire.pop_front();
    }
    return Clock::time_point::max();
}

void World::deliveryLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    deliveryThreadId = GetCurrentThreadId();
    for (;;) {
        // The generators run by themselves in real time; in manual mode only
        // advance() moves them.
        if (!manual) runGenerators(realClockNow());
        const Clock::time_point now = Clock::now();
        Clock::time_point next = nextGeneratorTime();
        for (int k = 0; k < static_cast<int>(units.size()); ++k)
            releaseDelayed(k, now, false);
        for (const DelayedReply& d : delayed)
            next = std::min(next, d.due);
        Deferred deferred;
        for (int port = 0; port < static_cast<int>(inputs.size()); ++port)
            next = std::min(next, serviceInput(port, now, deferred));
        for (auto& [id, h] : outputHandles) {
            auto& pending = h.pending;
            for (size_t i = 0; i < pending.size();) {
                if (pending[i].due <= now) {
                    completeOutput(h, id, pending[i], deferred);
                    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
                } else {
                    next = std::min(next, pending[i].due);
                    ++i;
                }
            }
        }
        stateChanged();
        if (!deferred.empty()) {
            runDeferred(lock, deferred);
            continue;
        }
        if (next == Clock::time_point::max())
            changed.wait(lock);
        else
            changed.wait_until(lock, next);
    }
}

void World::setWireLog(const char* path) {
    if (wireLog != INVALID_HANDLE_VALUE) CloseHandle(wireLog);
    wireLog = INVALID_HANDLE_VALUE;
    if (!path || !*path) return;
    wireLog = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    logLine("zembrax HD simulator wire log (milliseconds since start, bytes in hexadecimal)");
}

void World::logLine(const std::string& text) {
    if (wireLog == INVALID_HANDLE_VALUE) return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - epoch).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%12.3f  ", ms);
    std::string line = stamp + text + "\r\n";
    DWORD written = 0;
    WriteFile(wireLog, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

World& world() {
    static World* instance = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        instance = new World;
        if (const char* text = loadTimeConfiguration()) {
            std::string error;
            std::lock_guard<std::mutex> lock(instance->mutex);
            if (!instance->configure(text, error)) {
                OutputDebugStringA(("zembrax simulator: ZEMBRAX_SIM: " + error + "\n").c_str());
                instance->logLine("ZEMBRAX_SIM not applied: " + error);
            }
        }
        // The delivery thread runs code of this DLL until the process ends.
        HMODULE self;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&world), &self);
        std::thread([] { instance->deliveryLoop(); }).detach();
    });
    return *instance;
}

// The demo's operator at the unit: every few seconds it picks the next SD
// standard on the front panel (event 0x07), and every third time it saves the
// current profile (event 0x08), through the same control functions the tests
// use. It ends when the world is reset or configured anew.
void World::startFrontPanelOperator(long seconds) {
    frontPanelSeconds = seconds;
    const unsigned generation = ++frontPanelGeneration;
    const DWORD period = static_cast<DWORD>(seconds * 1000 / speedFactor);
    std::thread([this, period, generation] {
        for (int round = 1;; ++round) {
            Sleep(period);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (frontPanelGeneration != generation || units.empty()) return;
            }
            if (round % 3 == 0)
                simFrontPanelSaveProfile(0);
            else
                simFrontPanelSet(0, 2, round % 5 + 1);
        }
    }).detach();
}

} // namespace sim
