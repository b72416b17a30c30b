// The rest of winmm.dll that programs and system DLLs commonly import. The
// simulated machine has MIDI ports only: timers work, everything that needs
// a sound, mixer, joystick or MCI device answers as on a machine without one.
#include <windows.h>
#include <mmsystem.h>

#include <map>
#include <mutex>

namespace {

LARGE_INTEGER frequency() {
    static LARGE_INTEGER f = [] {
        LARGE_INTEGER v;
        QueryPerformanceFrequency(&v);
        return v;
    }();
    return f;
}

// ---- Multimedia timers, on the thread pool's timer queue ----

struct Timer {
    HANDLE queueTimer = nullptr;
    LPTIMECALLBACK callback = nullptr;
    DWORD_PTR user = 0;
    UINT flags = 0;
};

std::mutex timerMutex;
std::map<UINT, Timer> timers;
UINT nextTimerId = 1;

VOID CALLBACK timerFired(PVOID parameter, BOOLEAN) {
    const UINT id = static_cast<UINT>(reinterpret_cast<UINT_PTR>(parameter));
    Timer t;
    {
        std::lock_guard<std::mutex> lock(timerMutex);
        auto it = timers.find(id);
        if (it == timers.end()) return;
        t = it->second;
        if (!(t.flags & TIME_PERIODIC)) timers.erase(it);
    }
    if (t.flags & TIME_CALLBACK_EVENT_SET)
        SetEvent(reinterpret_cast<HANDLE>(t.callback));
    else if (t.flags & TIME_CALLBACK_EVENT_PULSE)
        PulseEvent(reinterpret_cast<HANDLE>(t.callback));
    else if (t.callback)
        t.callback(id, 0, t.user, 0, 0);
    if (!(t.flags & TIME_PERIODIC)) DeleteTimerQueueTimer(nullptr, t.queueTimer, nullptr);
}

} // namespace

extern "C" {

DWORD WINAPI timeGetTime(void) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<DWORD>(now.QuadPart * 1000 / frequency().QuadPart);
}

MMRESULT WINAPI timeGetSystemTime(LPMMTIME time, UINT size) {
    if (!time || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    time->wType = TIME_MS;
    time->u.ms = timeGetTime();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    return period ? TIMERR_NOERROR : TIMERR_NOCANDO;
}
MMRESULT WINAPI timeEndPeriod(UINT period) {
    return period ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    if (!caps || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
    if (delay == 0 || delay > 1000000) return 0;
    std::lock_guard<std::mutex> lock(timerMutex);
    const UINT id = nextTimerId++;
    Timer& t = timers[id];
    t.callback = callback;
    t.user = user;
    t.flags = flags;
    const DWORD period = (flags & TIME_PERIODIC) ? delay : 0;
    if (!CreateTimerQueueTimer(&t.queueTimer, nullptr, timerFired,
                               reinterpret_cast<PVOID>(static_cast<UINT_PTR>(id)), delay, period,
                               WT_EXECUTEDEFAULT)) {
        timers.erase(id);
        return 0;
    }
    return id;
}

MMRESULT WINAPI timeKillEvent(UINT id) {
    HANDLE queueTimer;
    {
        std::lock_guard<std::mutex> lock(timerMutex);
        auto it = timers.find(id);
        if (it == timers.end()) return MMSYSERR_INVALPARAM;
        queueTimer = it->second.queueTimer;
        timers.erase(it);
    }
    DeleteTimerQueueTimer(nullptr, queueTimer, nullptr);
    return TIMERR_NOERROR;
}

// ---- Sounds ----

BOOL WINAPI PlaySoundA(LPCSTR sound, HMODULE, DWORD) {
    return sound == nullptr;
}
BOOL WINAPI PlaySoundW(LPCWSTR sound, HMODULE, DWORD) {
    return sound == nullptr;
}
BOOL WINAPI sndPlaySoundA(LPCSTR sound, UINT) {
    return sound == nullptr;
}
BOOL WINAPI sndPlaySoundW(LPCWSTR sound, UINT) {
    return sound == nullptr;
}

// ---- Wave, mixer, auxiliary and joystick devices: none ----

UINT WINAPI waveOutGetNumDevs(void) {
    return 0;
}
UINT WINAPI waveInGetNumDevs(void) {
    return 0;
}
MMRESULT WINAPI waveOutGetDevCapsA(UINT_PTR, LPWAVEOUTCAPSA, UINT) {
    return MMSYSERR_BADDEVICEID;
}
MMRESULT WINAPI waveOutGetDevCapsW(UINT_PTR, LPWAVEOUTCAPSW, UINT) {
    return MMSYSERR_BADDEVICEID;
}
MMRESULT WINAPI waveInGetDevCapsA(UINT_PTR, LPWAVEINCAPSA, UINT) {
    return MMSYSERR_BADDEVICEID;
}
MMRESULT WINAPI waveInGetDevCapsW(UINT_PTR, LPWAVEINCAPSW, UINT) {
    return MMSYSERR_BADDEVICEID;
}

MMRESULT WINAPI waveOutOpen(LPHWAVEOUT result, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) {
    if (result) *result = nullptr;
    return MMSYSERR_BADDEVICEID;
}

MMRESULT WINAPI waveInOpen(LPHWAVEIN result, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) {
    if (result) *result = nullptr;
    return MMSYSERR_BADDEVICEID;
}

MMRESULT WINAPI waveOutClose(HWAVEOUT) {
    return MMSYSERR_INVALHANDLE;
}
MMRESULT WINAPI waveInClose(HWAVEIN) {
    return MMSYSERR_INVALHANDLE;
}
MMRESULT WINAPI waveOutGetVolume(HWAVEOUT, LPDWORD) {
    return MMSYSERR_NODRIVER;
}
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT, DWORD) {
    return MMSYSERR_NODRIVER;
}

UINT WINAPI mixerGetNumDevs(void) {
    return 0;
}

MMRESULT WINAPI mixerOpen(LPHMIXER result, UINT, DWORD_PTR, DWORD_PTR, DWORD) {
    if (result) *result = nullptr;
    return MMSYSERR_BADDEVICEID;
}

UINT WINAPI auxGetNumDevs(void) {
    return 0;
}
UINT WINAPI joyGetNumDevs(void) {
    return 0;
}
MMRESULT WINAPI joyGetPos(UINT, LPJOYINFO) {
    return JOYERR_UNPLUGGED;
}
MMRESULT WINAPI joyGetPosEx(UINT, LPJOYINFOEX) {
    return JOYERR_UNPLUGGED;
}
MMRESULT WINAPI joyGetDevCapsA(UINT_PTR, LPJOYCAPSA, UINT) {
    return MMSYSERR_NODRIVER;
}
MMRESULT WINAPI joyGetDevCapsW(UINT_PTR, LPJOYCAPSW, UINT) {
    return MMSYSERR_NODRIVER;
}

// ---- MCI: no devices ----

MCIERROR WINAPI mciSendStringA(LPCSTR, LPSTR answer, UINT length, HWND) {
    if (answer && length) answer[0] = 0;
    return MCIERR_DEVICE_NOT_INSTALLED;
}

MCIERROR WINAPI mciSendStringW(LPCWSTR, LPWSTR answer, UINT length, HWND) {
    if (answer && length) answer[0] = 0;
    return MCIERR_DEVICE_NOT_INSTALLED;
}

MCIERROR WINAPI mciSendCommandA(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR) {
    return MCIERR_DEVICE_NOT_INSTALLED;
}
MCIERROR WINAPI mciSendCommandW(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR) {
    return MCIERR_DEVICE_NOT_INSTALLED;
}

BOOL WINAPI mciGetErrorStringA(MCIERROR error, LPSTR text, UINT length) {
    if (!text || !length) return FALSE;
    lstrcpynA(text, error == MCIERR_DEVICE_NOT_INSTALLED ? "The specified device is not installed." : "",
              length);
    return error == MCIERR_DEVICE_NOT_INSTALLED;
}

BOOL WINAPI mciGetErrorStringW(MCIERROR error, LPWSTR text, UINT length) {
    if (!text || !length) return FALSE;
    lstrcpynW(text, error == MCIERR_DEVICE_NOT_INSTALLED ? L"The specified device is not installed." : L"",
              length);
    return error == MCIERR_DEVICE_NOT_INSTALLED;
}

// ---- Multimedia file I/O: nothing opens ----

HMMIO WINAPI mmioOpenA(LPSTR, LPMMIOINFO info, DWORD) {
    if (info) info->wErrorRet = MMIOERR_FILENOTFOUND;
    return nullptr;
}

HMMIO WINAPI mmioOpenW(LPWSTR, LPMMIOINFO info, DWORD) {
    if (info) info->wErrorRet = MMIOERR_FILENOTFOUND;
    return nullptr;
}

MMRESULT WINAPI mmioClose(HMMIO, UINT) {
    return MMSYSERR_INVALHANDLE;
}
LONG WINAPI mmioRead(HMMIO, HPSTR, LONG) {
    return -1;
}
LONG WINAPI mmioSeek(HMMIO, LONG, int) {
    return -1;
}
MMRESULT WINAPI mmioDescend(HMMIO, LPMMCKINFO, const MMCKINFO*, UINT) {
    return MMSYSERR_INVALHANDLE;
}
MMRESULT WINAPI mmioAscend(HMMIO, LPMMCKINFO, UINT) {
    return MMSYSERR_INVALHANDLE;
}

UINT WINAPI mmsystemGetVersion(void) {
    return 0x030A;
}

} // extern "C"
