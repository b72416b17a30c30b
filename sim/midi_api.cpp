// The WinMM MIDI functions, answered from the simulated world with the
// result codes and notifications of a real MIDI driver.
#include <cstddef>
#include <cstring>
#include <string>

#include "error_text.h"
#include "sim_control.h"
#include "world.h"

using namespace sim;

namespace {

constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);

// The world locked for one call; function callbacks collected during the
// call run after it, outside the lock.
struct Call {
    World& w;
    std::unique_lock<std::mutex> lock;
    Deferred deferred;
    Call() : w(world()), lock(w.mutex) {}
    ~Call() { w.runDeferred(lock, deferred); }
};

MMRESULT checkOpenFlags(DWORD_PTR callback, DWORD flags) {
    if (flags & ~(CALLBACK_TYPEMASK | MIDI_IO_STATUS)) return MMSYSERR_INVALFLAG;
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
    case CALLBACK_THREAD:
    case CALLBACK_FUNCTION:
    case CALLBACK_EVENT: return MMSYSERR_NOERROR;
    case CALLBACK_WINDOW:
        if (callback && !IsWindow(reinterpret_cast<HWND>(callback))) return MMSYSERR_INVALPARAM;
        return MMSYSERR_NOERROR;
    default: return MMSYSERR_INVALFLAG;
    }
}

// The port behind a device number or, as WinMM allows, an open handle.
int inputPortOf(World& w, UINT_PTR id) {
    auto visible = w.visibleInputs();
    if (id < visible.size()) return visible[id];
    auto it = w.inputHandles.find(id);
    return it == w.inputHandles.end() ? -1 : it->second.port;
}

int outputPortOf(World& w, UINT_PTR id) {
    auto visible = w.visibleOutputs();
    if (id < visible.size()) return visible[id];
    auto it = w.outputHandles.find(id);
    return it == w.outputHandles.end() ? -1 : it->second.port;
}

InputHandle* inputHandle(World& w, HMIDIIN h) {
    auto it = w.inputHandles.find(reinterpret_cast<uintptr_t>(h));
    return it == w.inputHandles.end() ? nullptr : &it->second;
}

OutputHandle* outputHandle(World& w, HMIDIOUT h) {
    auto it = w.outputHandles.find(reinterpret_cast<uintptr_t>(h));
    return it == w.outputHandles.end() ? nullptr : &it->second;
}

bool headerUsable(const MIDIHDR* header, UINT size) {
    return header && size >= kMinHeaderSize;
}

MMRESULT prepare(MIDIHDR* header, UINT size) {
    if (!headerUsable(header, size)) return MMSYSERR_INVALPARAM;
    if (header->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
    header->dwFlags = (header->dwFlags & ~(MHDR_DONE | MHDR_INQUEUE)) | MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepare(MIDIHDR* header, UINT size) {
    if (!headerUsable(header, size)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

template <typename Caps>
void copyCaps(const Caps& caps, void* out, UINT size) {
    std::memcpy(out, &caps, size < sizeof caps ? size : sizeof caps);
}

template <size_t N>
void copyName(const std::string& name, char (&out)[N]) {
    lstrcpynA(out, name.c_str(), N);
}

template <size_t N>
void copyName(const std::string& name, WCHAR (&out)[N]) {
    if (!MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, out, N)) out[N - 1] = 0;
}

template <typename Caps>
MMRESULT inputCaps(const char* function, UINT_PTR id, Caps* caps, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure(function, failure)) return failure;
    if (!caps) return MMSYSERR_INVALPARAM;
    int port = inputPortOf(c.w, id);
    if (port < 0) return MMSYSERR_BADDEVICEID;
    Caps full{};
    full.wMid = 0xFFFF; // no registered manufacturer identifier
    full.wPid = 0xFFFF;
    full.vDriverVersion = 0x0100;
    copyName(c.w.inputs[port].name, full.szPname);
    copyCaps(full, caps, size);
    return MMSYSERR_NOERROR;
}

template <typename Caps>
MMRESULT outputCaps(const char* function, UINT_PTR id, Caps* caps, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure(function, failure)) return failure;
    if (!caps) return MMSYSERR_INVALPARAM;
    int port = outputPortOf(c.w, id);
    if (port < 0) return MMSYSERR_BADDEVICEID;
    Caps full{};
    full.wMid = 0xFFFF;
    full.wPid = 0xFFFF;
    full.vDriverVersion = 0x0100;
    full.wTechnology = MOD_MIDIPORT;
    full.wChannelMask = 0xFFFF;
    copyName(c.w.outputs[port].name, full.szPname);
    copyCaps(full, caps, size);
    return MMSYSERR_NOERROR;
}

uint8_t shortMessageLength(uint8_t status) {
    if (status < 0x80) return 2; // running status: two data bytes
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0)) return 3;
    if (status < 0xE0) return 2;
    switch (status) {
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    default: return 1;
    }
}

} // namespace

// ---- Input ----

UINT WINAPI midiInGetNumDevs(void) {
    Call c;
    MMRESULT injected;
    if (c.w.injectedFailure("midiInGetNumDevs", injected)) return injected;
    return static_cast<UINT>(c.w.visibleInputs().size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    return inputCaps("midiInGetDevCapsA", id, caps, size);
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR id, LPMIDIINCAPSW caps, UINT size) {
    return inputCaps("midiInGetDevCapsW", id, caps, size);
}

MMRESULT WINAPI midiInGetErrorTextA(MMRESULT code, LPSTR text, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInGetErrorTextA", failure)) return failure;
    return errorTextA(code, text, size);
}

MMRESULT WINAPI midiInGetErrorTextW(MMRESULT code, LPWSTR text, UINT size) {
    return errorTextW(code, text, size);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN result, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    Call c;
    MMRESULT failure;
    if (result) *result = nullptr;
    if (c.w.injectedFailure("midiInOpen", failure)) return failure;
    if (!result) return MMSYSERR_INVALPARAM;
    if (MMRESULT r = checkOpenFlags(callback, flags)) return r;
    auto visible = c.w.visibleInputs();
    if (id >= visible.size()) return MMSYSERR_BADDEVICEID;
    InputPort& port = c.w.inputs[visible[id]];
    if (port.handle) return MMSYSERR_ALLOCATED;
    const uintptr_t handle = c.w.newHandle();
    InputHandle& h = c.w.inputHandles[handle];
    h.port = visible[id];
    h.callback = Callback{flags & CALLBACK_TYPEMASK, callback, instance};
    port.handle = handle;
    *result = reinterpret_cast<HMIDIIN>(handle);
    c.w.logLine("midiInOpen: " + port.name);
    c.w.notify(h.callback, handle, MM_MIM_OPEN, 0, 0, c.deferred);
    return MMSYSERR_NOERROR;
}

namespace {

// A refused close: with Wine's handles the handle is freed all the same.
MMRESULT refused(World& w, bool input, uintptr_t handle, MMRESULT result) {
    w.refusedClose(input, handle);
    return result;
}

} // namespace

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
    Call c;
    MMRESULT failure;
    const uintptr_t id = reinterpret_cast<uintptr_t>(hmi);
    if (c.w.injectedFailure("midiInClose", failure)) return refused(c.w, true, id, failure);
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (c.w.deadCallFails(h->dead, h->deadFaults, SIM_UNPLUG_IN_CLOSE_FAILS, "midiInClose"))
        return refused(c.w, true, id, MMSYSERR_NODRIVER);
    if (!h->queue.empty()) return refused(c.w, true, id, MIDIERR_STILLPLAYING);
    const Callback callback = h->callback;
    const int portIndex = h->port;
    const bool dead = h->dead;
    InputPort& port = c.w.inputs[portIndex];
    if (port.handle == id) port.handle = 0; // a replugged unit's port may have a new handle
    c.w.inputHandles.erase(id);
    c.w.logLine("midiInClose: " + port.name);
    c.w.notify(callback, id, MM_MIM_CLOSE, 0, 0, c.deferred);
    if (!dead) c.w.portClosed(true, portIndex);
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

namespace {

// A header that a queue still holds may be written into by the driver at any
// time: preparing or queueing it anew (with its flags wiped, say) is the
// panel's fault, whichever handle it is for.
void checkNotQueued(World& w, const char* function, const MIDIHDR* header) {
    if (uintptr_t holder = w.inputQueueHolding(header, 0))
        w.misuse(std::string(function) + ": header still queued on input handle " + std::to_string(holder));
}

} // namespace

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInPrepareHeader", failure)) return failure;
    if (!inputHandle(c.w, hmi)) return MMSYSERR_INVALHANDLE;
    checkNotQueued(c.w, "midiInPrepareHeader", header);
    return prepare(header, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInUnprepareHeader", failure)) return failure;
    if (!inputHandle(c.w, hmi)) return MMSYSERR_INVALHANDLE;
    return unprepare(header, size);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInAddBuffer", failure)) return failure;
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (!headerUsable(header, size)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (!header->lpData || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    checkNotQueued(c.w, "midiInAddBuffer", header);
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    h->queue.push_back(header);
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInStart", failure)) return failure;
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (h->dead) return MMSYSERR_NODRIVER;
    if (!h->started) {
        h->started = true;
        h->startTime = Clock::now();
    }
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInStop", failure)) return failure;
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    h->started = false;
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiInReset", failure)) return failure;
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (c.w.deadCallFails(h->dead, h->deadFaults, SIM_UNPLUG_IN_RESET_FAILS, "midiInReset"))
        return MMSYSERR_NODRIVER;
    h->started = false;
    const uintptr_t id = reinterpret_cast<uintptr_t>(hmi);
    for (MIDIHDR* header : h->queue) {
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        c.w.notify(h->callback, id, MM_MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0, c.deferred);
    }
    h->queue.clear();
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInGetID(HMIDIIN hmi, LPUINT id) {
    Call c;
    InputHandle* h = inputHandle(c.w, hmi);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (!id) return MMSYSERR_INVALPARAM;
    auto visible = c.w.visibleInputs();
    for (UINT i = 0; i < visible.size(); ++i)
        if (visible[i] == h->port) {
            *id = i;
            return MMSYSERR_NOERROR;
        }
    return MMSYSERR_NODRIVER;
}

MMRESULT WINAPI midiInMessage(HMIDIIN hmi, UINT, DWORD_PTR, DWORD_PTR) {
    Call c;
    return inputHandle(c.w, hmi) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

// ---- Output ----

UINT WINAPI midiOutGetNumDevs(void) {
    Call c;
    MMRESULT injected;
    if (c.w.injectedFailure("midiOutGetNumDevs", injected)) return injected;
    return static_cast<UINT>(c.w.visibleOutputs().size());
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    return outputCaps("midiOutGetDevCapsA", id, caps, size);
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR id, LPMIDIOUTCAPSW caps, UINT size) {
    return outputCaps("midiOutGetDevCapsW", id, caps, size);
}

MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT code, LPSTR text, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutGetErrorTextA", failure)) return failure;
    return errorTextA(code, text, size);
}

MMRESULT WINAPI midiOutGetErrorTextW(MMRESULT code, LPWSTR text, UINT size) {
    return errorTextW(code, text, size);
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT result, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    Call c;
    MMRESULT failure;
    if (result) *result = nullptr;
    if (c.w.injectedFailure("midiOutOpen", failure)) return failure;
    if (!result) return MMSYSERR_INVALPARAM;
    if (MMRESULT r = checkOpenFlags(callback, flags)) return r;
    auto visible = c.w.visibleOutputs();
    if (id >= visible.size()) return MMSYSERR_BADDEVICEID;
    OutputPort& port = c.w.outputs[visible[id]];
    if (port.handle) return MMSYSERR_ALLOCATED;
    const uintptr_t handle = c.w.newHandle();
    OutputHandle& h = c.w.outputHandles[handle];
    h.port = visible[id];
    h.callback = Callback{flags & CALLBACK_TYPEMASK, callback, instance};
    port.handle = handle;
    *result = reinterpret_cast<HMIDIOUT>(handle);
    c.w.logLine("midiOutOpen: " + port.name);
    c.w.notify(h.callback, handle, MM_MOM_OPEN, 0, 0, c.deferred);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
    Call c;
    MMRESULT failure;
    const uintptr_t id = reinterpret_cast<uintptr_t>(hmo);
    if (c.w.injectedFailure("midiOutClose", failure)) return refused(c.w, false, id, failure);
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (c.w.deadCallFails(h->dead, h->deadFaults, SIM_UNPLUG_OUT_CLOSE_FAILS, "midiOutClose"))
        return refused(c.w, false, id, MMSYSERR_NODRIVER);
    if (!h->pending.empty()) return refused(c.w, false, id, MIDIERR_STILLPLAYING);
    const Callback callback = h->callback;
    const int portIndex = h->port;
    const bool dead = h->dead;
    OutputPort& port = c.w.outputs[portIndex];
    if (port.handle == id) port.handle = 0;
    c.w.outputHandles.erase(id);
    c.w.logLine("midiOutClose: " + port.name);
    c.w.notify(callback, id, MM_MOM_CLOSE, 0, 0, c.deferred);
    if (!dead) c.w.portClosed(false, portIndex);
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutPrepareHeader", failure)) return failure;
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (h->dead) return MMSYSERR_NODRIVER; // the device is gone
    if (uintptr_t holder = c.w.outputHolding(header))
        c.w.misuse("midiOutPrepareHeader: header still pending on output handle " + std::to_string(holder));
    return prepare(header, size);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutUnprepareHeader", failure)) return failure;
    if (!outputHandle(c.w, hmo)) return MMSYSERR_INVALHANDLE;
    return unprepare(header, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR header, UINT size) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutLongMsg", failure)) return failure;
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (!headerUsable(header, size)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (!header->lpData || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    if (h->dead) { // the device is gone: refused, the header stays the program's
        c.w.panelSends(h->port, true, reinterpret_cast<const uint8_t*>(header->lpData),
                       header->dwBufferLength);
        return MMSYSERR_NODRIVER;
    }
    if (uintptr_t holder = c.w.outputHolding(header))
        c.w.misuse("midiOutLongMsg: header still pending on output handle " + std::to_string(holder));
    header->dwFlags &= ~MHDR_DONE;
    c.w.panelSends(h->port, false, reinterpret_cast<const uint8_t*>(header->lpData), header->dwBufferLength);
    const uintptr_t id = reinterpret_cast<uintptr_t>(hmo);
    if (c.w.outputDoneDelay == 0) {
        header->dwFlags |= MHDR_DONE;
        c.w.notify(h->callback, id, MM_MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0, c.deferred);
    } else {
        header->dwFlags |= MHDR_INQUEUE;
        h->pending.push_back(PendingDone{header, header->lpData, header->dwBufferLength,
                                         Clock::now() + std::chrono::milliseconds(c.w.outputDoneDelay)});
    }
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD message) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutShortMsg", failure)) return failure;
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    const uint8_t status = static_cast<uint8_t>(message & 0xFF);
    if (status == 0xF0 || status == 0xF7) return MMSYSERR_INVALPARAM;
    const uint8_t bytes[3] = {status, static_cast<uint8_t>(message >> 8 & 0x7F),
                              static_cast<uint8_t>(message >> 16 & 0x7F)};
    c.w.panelSends(h->port, h->dead, bytes, shortMessageLength(status));
    return h->dead ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    Call c;
    MMRESULT failure;
    if (c.w.injectedFailure("midiOutReset", failure)) return failure;
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (c.w.deadCallFails(h->dead, h->deadFaults, SIM_UNPLUG_OUT_RESET_FAILS, "midiOutReset"))
        return MMSYSERR_NODRIVER;
    const uintptr_t id = reinterpret_cast<uintptr_t>(hmo);
    for (const PendingDone& done : h->pending)
        c.w.completeOutput(*h, id, done, c.deferred);
    h->pending.clear();
    if (!h->dead) c.w.outputs[h->port].wireFree = Clock::now(); // what the driver had not sent yet is dropped
    c.w.stateChanged();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, LPUINT id) {
    Call c;
    OutputHandle* h = outputHandle(c.w, hmo);
    if (!h) return MMSYSERR_INVALHANDLE;
    if (!id) return MMSYSERR_INVALPARAM;
    auto visible = c.w.visibleOutputs();
    for (UINT i = 0; i < visible.size(); ++i)
        if (visible[i] == h->port) {
            *id = i;
            return MMSYSERR_NOERROR;
        }
    return MMSYSERR_NODRIVER;
}

MMRESULT WINAPI midiOutGetVolume(HMIDIOUT hmo, LPDWORD volume) {
    if (!volume) return MMSYSERR_INVALPARAM;
    Call c;
    return outputHandle(c.w, hmo) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutSetVolume(HMIDIOUT hmo, DWORD) {
    Call c;
    return outputHandle(c.w, hmo) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutMessage(HMIDIOUT hmo, UINT, DWORD_PTR, DWORD_PTR) {
    Call c;
    return outputHandle(c.w, hmo) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiConnect(HMIDI, HMIDIOUT, LPVOID) {
    return MMSYSERR_NOTSUPPORTED;
}
MMRESULT WINAPI midiDisconnect(HMIDI, HMIDIOUT, LPVOID) {
    return MMSYSERR_NOTSUPPORTED;
}

MMRESULT WINAPI midiStreamOpen(LPHMIDISTRM stream, LPUINT, DWORD, DWORD_PTR, DWORD_PTR, DWORD) {
    if (stream) *stream = nullptr;
    return MMSYSERR_NOTSUPPORTED;
}
