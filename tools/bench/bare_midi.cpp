// bench_bare_midi: the bare baselines that talk to the unit, in the bare
// dialog of bare.rc, through the same WinMM calls as the panel:
//
//   bench_bare_midi mtc              opens the unit's input with window
//                                    notification and ignores every
//                                    MM_MIM_DATA (the MTC baseline)
//   bench_bare_midi connect          on WM_COMMAND 221 opens the unit's ports
//                                    and sends the identity request; on the
//                                    reply it sends MMC READ and the panel's
//                                    request sequence back to back; when the
//                                    last report (0x51 / 0x40) arrives the
//                                    caption becomes "connected"
//   bench_bare_midi records PROGRAM  sends the header and every record of the
//                                    firmware image that PROGRAM carries, in
//                                    one loop of prepare / long message /
//                                    unprepare; then the caption reads
//                                    "done <records> <ms>", the milliseconds
//                                    from the first record's send to the
//                                    last's return (the loop is too quick to
//                                    be timed from outside)
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "bare.h"

namespace {

enum class Mode { Mtc, Connect, Records };

Mode mode = Mode::Mtc;
const char* imageProgram = "";
HMIDIIN input = nullptr;
HMIDIOUT output = nullptr;
char inputBuffers[2][512];
MIDIHDR inputHeaders[2];
BYTE recordMessage[1024];

constexpr BYTE kIdentityRequest[] = {0xF0, 0x2C, 0x5A, 0x42, 0x01, 0xF7};
constexpr BYTE kMmcRead[] = {0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7};

struct Request {
    BYTE bytes[7];
    UINT length;
};
// The panel's request sequence after identification, in its order.
constexpr Request kRequests[] = {
    {{0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x0A, 0xF7}, 7}, {{0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x1E, 0xF7}, 7},
    {{0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x32, 0xF7}, 7}, {{0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x68, 0xF7}, 7},
    {{0xF0, 0x2C, 0x5A, 0x42, 0x5E, 0xF7}, 6},       {{0xF0, 0x2C, 0x5A, 0x42, 0x40, 0xF7}, 6},
    {{0xF0, 0x2C, 0x5A, 0x42, 0x56, 0x48, 0xF7}, 7}, {{0xF0, 0x2C, 0x5A, 0x42, 0x56, 0x79, 0xF7}, 7},
    {{0xF0, 0x2C, 0x5A, 0x42, 0x56, 0x51, 0xF7}, 7}, {{0xF0, 0x2C, 0x5A, 0x42, 0x50, 0x40, 0xF7}, 7},
    {{0xF0, 0x2C, 0x5A, 0x42, 0x60, 0x01, 0xF7}, 7},
};

bool unitPortName(const char* name) {
    for (int i = 0; i < 3; ++i)
        if (name[i] != "zem"[i] && name[i] != "ZEM"[i]) return false;
    return true;
}

UINT firstUnitInput() {
    UINT count = midiInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        MIDIINCAPSA caps{};
        midiInGetDevCapsA(id, &caps, sizeof caps);
        if (unitPortName(caps.szPname)) return id;
    }
    return 0;
}

UINT firstUnitOutput() {
    UINT count = midiOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        MIDIOUTCAPSA caps{};
        midiOutGetDevCapsA(id, &caps, sizeof caps);
        if (unitPortName(caps.szPname)) return id;
    }
    return 0;
}

void send(const BYTE* bytes, UINT length) {
    MIDIHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<BYTE*>(bytes));
    header.dwBufferLength = length;
    if (midiOutPrepareHeader(output, &header, sizeof header) != MMSYSERR_NOERROR) return;
    midiOutLongMsg(output, &header, sizeof header);
    midiOutUnprepareHeader(output, &header, sizeof header);
}

void openInput(HWND window, bool withBuffers) {
    midiInOpen(&input, firstUnitInput(), reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW);
    for (int i = 0; withBuffers && i < 2; ++i) {
        inputHeaders[i] = MIDIHDR{};
        inputHeaders[i].lpData = inputBuffers[i];
        inputHeaders[i].dwBufferLength = sizeof inputBuffers[i];
        midiInPrepareHeader(input, &inputHeaders[i], sizeof(MIDIHDR));
        midiInAddBuffer(input, &inputHeaders[i], sizeof(MIDIHDR));
    }
    midiInStart(input);
}

void closePorts() {
    if (input) {
        midiInReset(input);
        for (MIDIHDR& header : inputHeaders)
            if (header.lpData) midiInUnprepareHeader(input, &header, sizeof header);
        midiInClose(input);
        input = nullptr;
    }
    if (output) {
        midiOutReset(output);
        midiOutClose(output);
        output = nullptr;
    }
}

void connect(HWND window) {
    closePorts();
    openInput(window, true);
    midiOutOpen(&output, firstUnitOutput(), 0, 0, CALLBACK_NULL);
    send(kIdentityRequest, sizeof kIdentityRequest);
}

void received(HWND window, MIDIHDR* header) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(header->lpData);
    const DWORD count = header->dwBytesRecorded;
    if (count == 0 || !input) return;
    if (count >= 6 && bytes[1] == 0x2C) {
        if (bytes[4] == 0x02 || bytes[4] == 0x08 || bytes[4] == 0x0A) {
            send(kMmcRead, sizeof kMmcRead);
            for (const Request& request : kRequests)
                send(request.bytes, request.length);
        } else if (bytes[4] == 0x51 && bytes[5] == 0x40) {
            SetWindowTextA(window, "connected");
        }
    }
    midiInAddBuffer(input, header, sizeof(MIDIHDR));
}

void sendRecords(HWND window) {
    HMODULE image =
        LoadLibraryExA(imageProgram, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HRSRC found = image ? FindResourceA(image, "FirmwareFile", "BINTYPE") : nullptr;
    HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!data) {
        SetWindowTextA(window, "no image");
        return;
    }
    DWORD size = SizeofResource(image, found);
    const char* end = static_cast<const char*>(std::memchr(data, 0xFF, size));
    if (!end) end = data + size;
    midiOutOpen(&output, firstUnitOutput(), 0, 0, CALLBACK_NULL);

    // The header: F0 2C, the first 32 characters, F7.
    recordMessage[0] = 0xF0;
    recordMessage[1] = 0x2C;
    std::memcpy(recordMessage + 2, data, 32);
    recordMessage[34] = 0xF7;
    send(recordMessage, 35);
    recordMessage[2] = 0x7F;

    LARGE_INTEGER frequency, first, last;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&first);
    int records = 0;
    for (const char* line = data + 33; line < end;) {
        const char* cr = static_cast<const char*>(std::memchr(line, '\r', static_cast<size_t>(end - line)));
        if (!cr || cr - line + 4 > static_cast<long long>(sizeof recordMessage)) break;
        const UINT length = static_cast<UINT>(cr - line);
        std::memcpy(recordMessage + 3, line, length);
        recordMessage[3 + length] = 0xF7;
        send(recordMessage, length + 4);
        ++records;
        line = cr + 1;
    }
    QueryPerformanceCounter(&last);
    char caption[64];
    std::snprintf(caption, sizeof caption, "done %d %.3f", records,
                  1000.0 * static_cast<double>(last.QuadPart - first.QuadPart) /
                      static_cast<double>(frequency.QuadPart));
    SetWindowTextA(window, caption);
    FreeLibrary(image);
}

INT_PTR CALLBACK bareMidi(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        if (mode == Mode::Mtc) openInput(window, false);
        if (mode == Mode::Records) PostMessageA(window, WM_APP, 0, 0); // once the dialog is up
        return TRUE;
    case WM_APP: sendRecords(window); return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_BARE_CONNECT && mode == Mode::Connect) connect(window);
        return TRUE;
    case MM_MIM_LONGDATA: received(window, reinterpret_cast<MIDIHDR*>(lParam)); return TRUE;
    case MM_MIM_DATA: return TRUE; // nothing done with it
    case WM_CLOSE:
        closePorts();
        EndDialog(window, 0);
        return TRUE;
    default: return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (__argc >= 2 && std::strcmp(__argv[1], "connect") == 0) mode = Mode::Connect;
    if (__argc >= 3 && std::strcmp(__argv[1], "records") == 0) {
        mode = Mode::Records;
        imageProgram = __argv[2];
    }
    return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_BARE), nullptr, bareMidi, 0));
}
