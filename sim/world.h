// The simulated world on the far side of WinMM: MIDI ports, the units on
// them, the open handles, the bytes on their way to the panel and the one
// delivery thread that hands them over. Every member is guarded by `mutex`;
// the functions below expect it held unless they say otherwise.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "unit_model.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// 31250 baud, ten bits per byte.
constexpr auto kByteTime = std::chrono::microseconds(320);
constexpr DWORD kDefaultGraceMs = 50;

// The time one byte takes on every wire: kByteTime, or what the configuration
// entry `bytetime` sets (0: messages cross at once). Guarded by World::mutex.
inline std::chrono::microseconds byteTime = kByteTime;

inline std::chrono::microseconds wireTime(size_t bytes) {
    return byteTime * static_cast<long long>(bytes);
}

struct Unit {
    UnitModel model;
    int inputPort = -1;  // the panel's input port the unit talks into
    int outputPort = -1; // the panel's output port the unit listens to
    bool plugged = true;
    int unplugFaults = 0; // SIM_UNPLUG_* flags: what also fails on its dead handles
    bool corruptNext = false;
    int violations = 0;
    int unknown = 0;
    int lost = 0;
    int identityRequestsToIgnore = 0; // its firmware is not up yet: these go unanswered
    std::vector<Bytes> received;
};

// One message on its way from a unit to the panel's input port.
struct InputItem {
    enum Kind { SysEx, Short, Error } kind = SysEx;
    int unit = -1;
    Bytes bytes;
    bool corrupt = false;
    bool quiet = false;      // time code: not logged one by one
    Clock::time_point start; // its first byte starts on the wire
    size_t done = 0;         // bytes already handed over in earlier buffers
};

// A reply the unit sends later.
struct DelayedReply {
    int unit = -1;
    Bytes bytes;
    Clock::time_point due;
};

struct InputPort {
    std::string name;
    uintptr_t handle = 0; // open handle, 0 when closed
    std::deque<InputItem> wire;
    Clock::time_point wireFree;
};

struct OutputPort {
    std::string name;
    uintptr_t handle = 0;
    Clock::time_point wireFree;
};

struct Callback {
    DWORD type = CALLBACK_NULL;
    DWORD_PTR target = 0;
    DWORD_PTR instance = 0;
};

struct InputHandle {
    int port = -1;
    Callback callback;
    bool started = false;
    bool dead = false;  // its unit was unplugged while it was open
    int deadFaults = 0; // the unit's SIM_UNPLUG_* flags, for a dead handle
    std::deque<MIDIHDR*> queue;
    Clock::time_point startTime;
};

// A long output message whose header is marked done later.
struct PendingDone {
    MIDIHDR* header;
    LPSTR data;
    DWORD length;
    Clock::time_point due;
};

struct OutputHandle {
    int port = -1;
    Callback callback;
    bool dead = false;
    int deadFaults = 0;
    std::vector<PendingDone> pending;
};

// What the driver of a handle that Wine freed on a refused close still holds:
// its queued input buffers or its pending output headers (each with the data
// pointer and length it was handed), under the freed handle value, which a
// later open may get again.
struct KeptBuffers {
    bool input = true;
    uintptr_t handle = 0;
    Callback callback;
    std::vector<PendingDone> headers;
};

// A callback of type CALLBACK_FUNCTION to call once the lock is released.
struct Notification {
    Callback callback;
    uintptr_t handle;
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
};
using Deferred = std::vector<Notification>;

struct FailRule {
    MMRESULT result;
    int skip;
    int times; // 0: every call
};

class World {
  public:
    World();

    std::mutex mutex;
    std::condition_variable changed; // any change: wakes the delivery thread and idle waiters

    std::vector<InputPort> inputs;
    std::vector<OutputPort> outputs;
    std::vector<Unit> units;
    std::map<uintptr_t, InputHandle> inputHandles;
    std::map<uintptr_t, OutputHandle> outputHandles;
    uintptr_t nextHandle = 0x5A420010;
    // Wine's WinMM (simSetWineHandles): a refused close frees the handle all
    // the same, its driver keeping what it held (`kept`), and an open gets the
    // lowest free handle value. Off by default and after every reset.
    bool wineHandles = false;
    std::vector<KeptBuffers> kept;
    std::map<std::string, FailRule> failures;
    std::vector<DelayedReply> delayed; // in the order the unit decided to send them
    DWORD outputDoneDelay = 0;
    DWORD graceMs = kDefaultGraceMs;
    // Headers the panel used against the driver's rules (one header on two
    // queues, a header changed while the driver owned it). Survives resets.
    int driverMisuse = 0;
    // Demo: every this many seconds somebody works the first unit's front
    // panel (0: nobody). Each reset or configuration starts a new generation
    // and so ends the operator of the one before.
    long frontPanelSeconds = 0;
    unsigned frontPanelGeneration = 0;
    int callbacksInFlight = 0;
    DWORD deliveryThreadId = 0;
    HANDLE idleEvent;
    bool idleSignalled = true; // the state idleEvent was last set to (created set)

    // The default world: one unit on "ZEM HD MIDI In" / "ZEM HD MIDI Out",
    // the clock in real time.
    void resetToDefault();
    // Applies a configuration text (the ZEMBRAX_SIM grammar) on top of the
    // default world. Returns false and names the bad entry in `error`.
    void startFrontPanelOperator(long seconds);
    bool configure(const std::string& text, std::string& error);
    void closeAllHandles();
    void closeHandlesOfInputs();
    void closeHandlesOfOutputs();
    int addUnit(int inputIndex, int outputIndex);

    // Ports the panel can see, as device numbers 0.. in enumeration order.
    std::vector<int> visibleInputs() const;
    std::vector<int> visibleOutputs() const;
    bool portVisible(bool input, int port) const;

    // True when the named call is to fail now; the result goes into `result`.
    bool injectedFailure(const char* function, MMRESULT& result);

    // A unit sends bytes to the panel (parsed into messages and put on the wire).
    void unitSends(int unit, const uint8_t* bytes, size_t count, Clock::time_point earliest);
    // The panel sends one message on an output port.
    void panelSends(int port, bool deadHandle, const uint8_t* bytes, size_t count);
    // A unit's message could not be delivered.
    void lose(const InputItem& item, const char* why);
    // The panel closed an input (or output) port: the units on it hear of it.
    void portClosed(bool input, int port);
    // Puts a unit's delayed replies on the wire (all of them, or those due by `now`).
    void releaseDelayed(int unit, Clock::time_point now, bool all);
    // A unit leaves the cable (its ports vanish, open handles die).
    void unplug(int unit);
    // It comes back as a new device: its ports open anew, whatever dead
    // handles of the old one are still around.
    void replug(int unit);
    // True when a dead handle with these flags fails the call flagged `fault`
    // (logged as an injected failure).
    bool deadCallFails(bool dead, int deadFaults, int fault, const char* function);

    // The simulator's clock, in microseconds. In real time it follows the
    // steady clock; in manual mode it stands until advance() moves it.
    int64_t clockNow() const;
    // The PC's local time in microseconds since 1601: GetLocalTime in real
    // time, the time set with setWallClock (moving with the clock) in manual mode.
    int64_t wallNow() const;
    // The moment a message that is on the wire until `arrival` reaches a unit.
    Moment momentAt(Clock::time_point arrival) const;
    void useManualClock(bool manual);
    bool manualClock() const { return manual; }
    void setWallClock(int64_t localMicroseconds);
    // Moves the manual clock and runs every generator up to it; returns the
    // quarter frames sent.
    int advance(int64_t microseconds);

    // Hands a notification to its target: posts window, thread and event
    // notifications at once, keeps function callbacks in `deferred`.
    void notify(const Callback& callback, uintptr_t handle, UINT message, DWORD_PTR p1, DWORD_PTR p2,
                Deferred& deferred);
    // Calls deferred function callbacks; expects the lock held and releases it meanwhile.
    void runDeferred(std::unique_lock<std::mutex>& lock, Deferred& deferred);

    // The handle value for a new open: the next of a rising series, or with
    // Wine's handles the lowest value no open handle has.
    uintptr_t newHandle();
    // A close of this handle was refused. With Wine's handles it is freed all
    // the same: its port is free again, its queued buffers or pending headers
    // stay with its driver (`kept`), and every later call on it gets
    // MMSYSERR_INVALHANDLE.
    void refusedClose(bool input, uintptr_t handle);
    // The drivers of freed handles write `bytes` into every input buffer they
    // kept and hand it back (MM_MIM_LONGDATA), and mark every output header
    // they kept done (MM_MOM_DONE), under the freed value. Returns how many.
    int writeKept(const uint8_t* bytes, size_t count, Deferred& deferred);

    // Marks a pending output header done if it is still the driver's.
    void completeOutput(OutputHandle& handle, uintptr_t id, const PendingDone& done, Deferred& deferred);

    bool idle() const;
    void stateChanged(); // re-evaluates idleness and wakes waiters

    // Compressed time: the clock and the wire run this many times faster than
    // real time (1: real time). Delivery waits (grace, output done) stay real.
    void setSpeed(int factor);
    int speed() const { return speedFactor; }
    // Wire time of a number of bytes at the current speed.
    std::chrono::nanoseconds wire(size_t bytes) const { return wireTime(bytes) / speedFactor; }

    // Notes a misuse of a header by the panel.
    void misuse(const std::string& what);
    // The input handle (other than `except`) whose queue holds the header; 0 if none.
    uintptr_t inputQueueHolding(const MIDIHDR* header, uintptr_t except) const;
    uintptr_t outputHolding(const MIDIHDR* header) const;

    // Wire log.
    void setWireLog(const char* path);
    void logLine(const std::string& text);

    // The delivery thread's body.
    void deliveryLoop();

    Clock::time_point epoch;
    HANDLE wireLog = INVALID_HANDLE_VALUE;

  private:
    bool applyConfiguration(const std::string& text, std::string& error);
    // Sends every quarter frame of running generators due before `until`
    // (clock microseconds), in time order; returns how many.
    int runGenerators(int64_t until);
    // When the delivery thread must next run the generators (real time only).
    Clock::time_point nextGeneratorTime() const;
    void sendQuarterFrame(int unit, uint8_t data, const TimeCode& cycle);
    int64_t realClockNow() const;

    bool manual = false;
    int speedFactor = 1;
    int64_t manualNow = 0;  // the clock while manual
    int64_t realOffset = 0; // clock minus microseconds since the epoch, in real time
    int64_t wallBase = 0;   // local time at wallBaseAt, manual mode
    int64_t wallBaseAt = 0; // clock value then
    // One step for one input port; returns the time of its next step.
    Clock::time_point serviceInput(int port, Clock::time_point now, Deferred& deferred);
    void enqueue(int port, InputItem item, Clock::time_point earliest);
};

// The one world, created with the delivery thread on first use.
World& world();

std::string unitName(int unit);

} // namespace sim
