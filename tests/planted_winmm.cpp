// A winmm.dll as somebody might plant it beside the shipped program (in a
// Downloads folder, say). It exports nothing: a program that imported WinMM
// from it would not even start. Loaded into any process, it sets the event
// "zembrax-planted-winmm-loaded" that the release test creates and watches.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE loaded = OpenEventA(EVENT_MODIFY_STATE, FALSE, "zembrax-planted-winmm-loaded");
        if (loaded) {
            SetEvent(loaded);
            CloseHandle(loaded);
        }
    }
    return TRUE;
}
