// The control interface for tests (sim_control.h).
#include "sim_control.h"

#include <cstring>

#include "world.h"

using namespace sim;

namespace {

struct Locked {
    World& w;
    std::unique_lock<std::mutex> lock;
    Locked() : w(world()), lock(w.mutex) {}
    bool valid(int unit) const { return unit >= 0 && unit < static_cast<int>(w.units.size()); }
    Moment now() const { return Moment{w.clockNow(), w.wallNow()}; }
};

template <typename T>
void put(T* out, T value) {
    if (out) *out = value;
}

void setPorts(std::vector<std::string>& names, int count, const char* const* list) {
    names.clear();
    for (int i = 0; i < count; ++i)
        names.push_back(list && list[i] ? list[i] : "");
}

// A front-panel change: refused while configuration protect locks the buttons.
int frontPanel(Locked& l, int unit, uint8_t event, bool (*change)(UnitModel&, int, int), int a, int b) {
    if (!l.valid(unit)) return -1;
    Unit& u = l.w.units[unit];
    if (u.model.configProtect) {
        l.w.logLine(unitName(unit) + ": front panel locked by configuration protect");
        return -2;
    }
    if (!change(u.model, a, b)) return -1;
    const Bytes report = UnitModel::eventReport(event);
    l.w.unitSends(unit, report.data(), report.size(), Clock::now());
    return 0;
}

} // namespace

void simReset(void) {
    Locked l;
    l.w.logLine("reset");
    l.w.resetToDefault();
}

int simConfigure(const char* text) {
    Locked l;
    std::string error;
    if (l.w.configure(text ? text : "", error)) return 0;
    l.w.logLine("configuration not applied: " + error);
    return -1;
}

void simSetInputPorts(int count, const char* const* names) {
    Locked l;
    std::vector<std::string> list;
    setPorts(list, count, names);
    l.w.closeHandlesOfInputs();
    l.w.inputs.assign(list.size(), InputPort{});
    for (size_t i = 0; i < list.size(); ++i)
        l.w.inputs[i].name = list[i];
    l.w.units.clear();
    l.w.stateChanged();
}

void simSetOutputPorts(int count, const char* const* names) {
    Locked l;
    std::vector<std::string> list;
    setPorts(list, count, names);
    l.w.closeHandlesOfOutputs();
    for (auto& port : l.w.inputs)
        port.wire.clear(); // their units are gone
    l.w.outputs.assign(list.size(), OutputPort{});
    for (size_t i = 0; i < list.size(); ++i)
        l.w.outputs[i].name = list[i];
    l.w.units.clear();
    l.w.stateChanged();
}

int simAddUnit(int inputIndex, int outputIndex) {
    Locked l;
    return l.w.addUnit(inputIndex, outputIndex);
}

void simSetIdentity(int unit, const char* serialDigits, const char firmware[4], uint8_t reportKind) {
    Locked l;
    if (!l.valid(unit)) return;
    UnitModel& m = l.w.units[unit].model;
    if (serialDigits) std::memcpy(m.serial.data(), serialDigits, 4);
    if (firmware) std::memcpy(m.firmware.data(), firmware, 4);
    m.reportKind = reportKind;
}

void simUnplug(int unit) {
    Locked l;
    if (l.valid(unit)) l.w.unplug(unit);
}

void simReplug(int unit) {
    Locked l;
    if (l.valid(unit)) l.w.replug(unit);
}

int simSetUnplugFaults(int unit, int flags) {
    Locked l;
    if (!l.valid(unit)) return -1;
    l.w.units[unit].unplugFaults = flags;
    return 0;
}

void simFailCall(const char* function, MMRESULT result, int skip, int times) {
    Locked l;
    if (!function) return;
    l.w.failures[function] = FailRule{result, skip < 0 ? 0 : skip, times < 0 ? 0 : times};
}

void simClearFailures(void) {
    Locked l;
    l.w.failures.clear();
}

void simSetOutputDoneDelay(DWORD milliseconds) {
    Locked l;
    l.w.outputDoneDelay = milliseconds;
}

void simSetByteTime(DWORD microseconds) {
    Locked l;
    byteTime = std::chrono::microseconds(microseconds);
}

void simSetInputGrace(DWORD milliseconds) {
    Locked l;
    l.w.graceMs = milliseconds;
}

void simSendRaw(int unit, const uint8_t* bytes, size_t count) {
    Locked l;
    if (!l.valid(unit) || !bytes || !count) return;
    l.w.unitSends(unit, bytes, count, Clock::now());
}

void simSendShort(int unit, DWORD message) {
    Locked l;
    if (!l.valid(unit)) return;
    const uint8_t status = static_cast<uint8_t>(message & 0xFF);
    size_t length = 3;
    if ((status >= 0xC0 && status < 0xE0) || status == 0xF1 || status == 0xF3)
        length = 2;
    else if (status >= 0xF4)
        length = 1;
    const uint8_t bytes[3] = {status, static_cast<uint8_t>(message >> 8),
                              static_cast<uint8_t>(message >> 16)};
    l.w.unitSends(unit, bytes, length, Clock::now());
}

void simSendEvent(int unit, uint8_t status) {
    Locked l;
    if (!l.valid(unit)) return;
    const Bytes report = UnitModel::eventReport(status);
    l.w.unitSends(unit, report.data(), report.size(), Clock::now());
}

void simCorruptNext(int unit) {
    Locked l;
    if (l.valid(unit)) l.w.units[unit].corruptNext = true;
}

int simWaitIdle(DWORD timeoutMilliseconds) {
    Locked l;
    return l.w.changed.wait_for(l.lock, std::chrono::milliseconds(timeoutMilliseconds),
                                [&] { return l.w.idle(); })
               ? 0
               : -1;
}

int simWaitIdlePumping(DWORD timeoutMilliseconds) {
    World& w = world();
    auto pump = [] {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, WM_TIMER - 1, PM_REMOVE) ||
               PeekMessageA(&msg, nullptr, WM_TIMER + 1, 0xFFFFFFFF, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    };
    const DWORD start = GetTickCount();
    for (;;) {
        pump();
        if (WaitForSingleObject(w.idleEvent, 0) == WAIT_OBJECT_0) {
            pump();
            return 0;
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMilliseconds) return -1;
        MsgWaitForMultipleObjects(1, &w.idleEvent, FALSE, timeoutMilliseconds - spent, QS_ALLINPUT);
    }
}

size_t simReceivedCount(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].received.size() : 0;
}

size_t simReceived(int unit, size_t index, uint8_t* out, size_t capacity) {
    Locked l;
    if (!l.valid(unit) || index >= l.w.units[unit].received.size()) return 0;
    const Bytes& m = l.w.units[unit].received[index];
    if (out) std::memcpy(out, m.data(), m.size() < capacity ? m.size() : capacity);
    return m.size();
}

void simClearReceived(int unit) {
    Locked l;
    if (l.valid(unit)) l.w.units[unit].received.clear();
}

int simProtocolViolations(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].violations : 0;
}

int simUnknownCommands(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].unknown : 0;
}

int simLostMessages(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].lost : 0;
}

void simSetWireLogFile(const char* path) {
    Locked l;
    l.w.setWireLog(path);
}

int simFrontPanelSet(int unit, int parameter, int value) {
    Locked l;
    return frontPanel(
        l, unit, kEventSettingsChanged, [](UnitModel& m, int p, int v) { return m.setParameter(p, v); },
        parameter, value);
}

int simFrontPanelSaveProfile(int unit) {
    Locked l;
    if (!l.valid(unit)) return -1;
    // For a valid unit the store fails only when saving is disabled.
    const int result = frontPanel(
        l, unit, kEventProfileSaved, [](UnitModel& m, int, int) { return m.storeProfile(); }, 0, 0);
    return result == -1 ? -2 : result;
}

int simFrontPanelRecallProfile(int unit, int profile) {
    Locked l;
    if (profile < 1 || profile > 4) return -1;
    return frontPanel(
        l, unit, kEventSettingsChanged,
        [](UnitModel& m, int p, int) {
            m.recallProfile(p - 1);
            return true;
        },
        profile, 0);
}

int simSetParameter(int unit, int parameter, int value) {
    Locked l;
    if (!l.valid(unit)) return -1;
    return l.w.units[unit].model.setParameter(parameter, value) ? 0 : -1;
}

int simGetParameter(int unit, int parameter) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.parameter(parameter) : -1;
}

int simGetStoredParameter(int unit, int slot, int parameter) {
    Locked l;
    if (!l.valid(unit) || slot < 0 || slot > 3) return -1;
    const Settings& s = l.w.units[unit].model.profiles[slot].settings;
    if (parameter >= 1 && parameter <= kParameterCount) return s.parameter[parameter];
    if (parameter == kBlackDolbyParameter) return s.blackDolby;
    if (parameter == kNtscBlackParameter) return s.ntscBlack;
    if (parameter == kExtVideoLockParameter) return s.extVideoLock;
    return -1;
}

int simGetFlags(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.flags() : -1;
}

void simSetSaveEnabled(int unit, int enabled) {
    Locked l;
    if (l.valid(unit)) l.w.units[unit].model.saveEnabled = enabled != 0;
}

int simGetProfileName(int unit, int slot, char out[13]) {
    Locked l;
    if (!l.valid(unit) || slot < 0 || slot > 3 || !out) return -1;
    std::memcpy(out, l.w.units[unit].model.profiles[slot].name.data(), 12);
    out[12] = 0;
    return 0;
}

int simSetProfileName(int unit, int slot, const char* name) {
    Locked l;
    if (!l.valid(unit) || slot < 0 || slot > 3 || !name) return -1;
    auto& n = l.w.units[unit].model.profiles[slot].name;
    n.fill(0);
    std::memcpy(n.data(), name, std::min<size_t>(std::strlen(name), 12));
    return 0;
}

int simGetCalibration(int unit, uint8_t item, int stored) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.calibration(item, stored != 0) : -1;
}

int simSetCalibration(int unit, uint8_t item, uint8_t value) {
    Locked l;
    if (!l.valid(unit)) return -1;
    UnitModel& m = l.w.units[unit].model;
    return m.setCalibration(item, value, false) && m.setCalibration(item, value, true) ? 0 : -1;
}

void simSetOscillatorWords(int unit, uint16_t vcxo, uint32_t tcxo) {
    Locked l;
    if (!l.valid(unit)) return;
    l.w.units[unit].model.vcxoWord = vcxo;
    l.w.units[unit].model.tcxoWord = tcxo;
}

int simGetVarispeed(int unit, uint32_t* value) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const UnitModel& m = l.w.units[unit].model;
    if (value) *value = m.varispeedValue;
    return m.varispeed ? 1 : 0;
}

int simGetLinkFlag(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.linkFlag : -1;
}

int simGetPlayMode(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.playMode : -1;
}

void simSetMmcMode(int unit, uint8_t mode) {
    Locked l;
    if (!l.valid(unit)) return;
    UnitModel& m = l.w.units[unit].model;
    m.mmcMode = mode & 0x7F;
    m.setPullDown((mode & 0x10) != 0, l.now());
    l.w.stateChanged();
}

int simCommandCount(int unit, uint8_t command) {
    Locked l;
    return l.valid(unit) && command < 0x80 ? l.w.units[unit].model.commandCount[command] : -1;
}

int simMmcCommandCount(int unit, uint8_t mmcCommand) {
    Locked l;
    return l.valid(unit) && mmcCommand < 0x80 ? l.w.units[unit].model.mmcCount[mmcCommand] : -1;
}

int simQueuedInputBuffers(int unit) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const int port = l.w.units[unit].inputPort;
    if (port < 0 || !l.w.inputs[port].handle) return -1;
    return static_cast<int>(l.w.inputHandles[l.w.inputs[port].handle].queue.size());
}

void simUseManualClock(int manual) {
    Locked l;
    l.w.useManualClock(manual != 0);
}

int simAdvance(DWORD milliseconds) {
    Locked l;
    return l.w.advance(static_cast<int64_t>(milliseconds) * 1000);
}

int simSetWallClock(const SYSTEMTIME* localTime) {
    Locked l;
    if (!localTime || !l.w.manualClock()) return -1;
    FILETIME f;
    if (!SystemTimeToFileTime(localTime, &f)) return -1;
    l.w.setWallClock(
        static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10));
    return 0;
}

int simSetLtcReader(int unit, int hours, int minutes, int seconds, int frames, int rateCode, int running) {
    Locked l;
    const TimeCode t{hours, minutes, seconds, frames};
    if (!l.valid(unit) || rateCode < 0 || rateCode > 3 || !labelValid(t, rateCode)) return -1;
    RunningTimeCode& reader = l.w.units[unit].model.ltcReader;
    FrameRate rate;
    rate.code = rateCode;
    const int64_t now = l.w.clockNow();
    reader.stop(now);
    reader.set(t, rate, now);
    if (running) reader.start(now);
    return 0;
}

int simGetTimeCode(int unit, int* hours, int* minutes, int* seconds, int* frames, int* rateCode,
                   int* running) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const TimeCodeGenerator& g = l.w.units[unit].model.generator;
    const TimeCode t = g.at(l.w.clockNow());
    put(hours, t.hours);
    put(minutes, t.minutes);
    put(seconds, t.seconds);
    put(frames, t.frames);
    put(rateCode, g.rate().code);
    put(running, g.running() ? 1 : 0);
    return 0;
}

int simTimeCodeOffset(int unit, int* atPlayMs, int* nowMs) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const UnitModel& m = l.w.units[unit].model;
    if (!m.playSeen) return -1;
    put(atPlayMs, m.playOffsetMs);
    put(nowMs, UnitModel::offsetMilliseconds(m.generator.millisecondsAt(l.w.clockNow()), l.w.wallNow()));
    return 0;
}

int simQuarterFramesSent(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.quarterFramesSent : -1;
}

int64_t simGetWordClockMilliHertz(int unit) {
    Locked l;
    return l.valid(unit) ? l.w.units[unit].model.wordClockMilliHertz() : 0;
}

int simGetOscillatorWords(int unit, uint16_t* vcxo, uint32_t* tcxo) {
    Locked l;
    if (!l.valid(unit)) return -1;
    put(vcxo, l.w.units[unit].model.vcxoWord);
    put(tcxo, l.w.units[unit].model.tcxoWord);
    return 0;
}

int simGetIdentity(int unit, char serialDigits[5], char firmware[5], uint8_t* reportKind) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const UnitModel& m = l.w.units[unit].model;
    if (serialDigits) {
        std::memcpy(serialDigits, m.serial.data(), 4);
        serialDigits[4] = 0;
    }
    if (firmware) {
        std::memcpy(firmware, m.firmware.data(), 4);
        firmware[4] = 0;
    }
    put(reportKind, m.reportKind);
    return 0;
}

int simFirmwareStats(int unit, int* records, int* dataBytes, int* errors) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const FirmwareTransfer& t = l.w.units[unit].model.transfer;
    put(records, t.records);
    put(dataBytes, t.dataBytes);
    put(errors, t.errors);
    return t.header ? 1 : 0;
}

int simFirmwareState(int unit) {
    Locked l;
    if (!l.valid(unit)) return -1;
    const UnitModel& m = l.w.units[unit].model;
    if (m.updatePrepared) return SIM_FIRMWARE_PREPARED;
    return m.erased() ? SIM_FIRMWARE_ERASED : SIM_FIRMWARE_RUNS;
}

int simSetFirmwareFailure(int unit, int mode, int records) {
    Locked l;
    if (!l.valid(unit)) return -1;
    UnitModel& m = l.w.units[unit].model;
    switch (mode) {
    case SIM_FIRMWARE_NORMAL: m.firmwareFailure = FirmwareFailure::None; break;
    case SIM_FIRMWARE_SILENT: m.firmwareFailure = FirmwareFailure::Silent; break;
    case SIM_FIRMWARE_VANISH_AT_ERASE: m.firmwareFailure = FirmwareFailure::VanishAtErase; break;
    case SIM_FIRMWARE_VANISH_AFTER_RECORDS:
        if (records < 0) return -1;
        m.firmwareFailure = FirmwareFailure::VanishAfter;
        break;
    case SIM_FIRMWARE_VANISH_AT_BEGIN: m.firmwareFailure = FirmwareFailure::VanishAtBegin; break;
    case SIM_FIRMWARE_REJECT_RECORD:
        if (records < 1) return -1;
        m.firmwareFailure = FirmwareFailure::RejectRecord;
        m.rejectedRecord = records;
        return 0;
    default: return -1;
    }
    m.vanishAfterRecords = records;
    return 0;
}

void simIgnoreIdentityRequests(int unit, int count) {
    Locked l;
    if (l.valid(unit)) l.w.units[unit].identityRequestsToIgnore = count < 0 ? 0 : count;
}

int simDriverMisuse(void) {
    Locked l;
    return l.w.driverMisuse;
}

MIDIHDR* simTakeInputBuffer(int inputPort, HMIDIIN* handle) {
    Locked l;
    if (handle) *handle = nullptr;
    if (inputPort < 0 || inputPort >= static_cast<int>(l.w.inputs.size())) return nullptr;
    auto it = l.w.inputHandles.find(l.w.inputs[inputPort].handle);
    if (it == l.w.inputHandles.end() || it->second.queue.empty()) return nullptr;
    MIDIHDR* header = it->second.queue.front();
    it->second.queue.pop_front();
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    if (handle) *handle = reinterpret_cast<HMIDIIN>(it->first);
    l.w.stateChanged();
    return header;
}

void simSetWineHandles(int on) {
    Locked l;
    l.w.wineHandles = on != 0;
    l.w.logLine(on ? "handles: Wine's (a refused close frees the handle, lowest free value)"
                   : "handles: Windows driver");
}

int simWriteKeptBuffers(const uint8_t* bytes, size_t count) {
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    Deferred deferred;
    const int handed = w.writeKept(bytes, bytes ? count : 0, deferred);
    w.runDeferred(lock, deferred);
    return handed;
}

int simKeptBuffers(void) {
    Locked l;
    int count = 0;
    for (const KeptBuffers& k : l.w.kept)
        count += static_cast<int>(k.headers.size());
    return count;
}
