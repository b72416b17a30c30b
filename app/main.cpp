// zembrax-panel.exe: the control panel of the zembrax HD sync generator.
#include <windows.h>

#include "main_panel.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Every DLL loaded from here on comes from the system folder only. WinMM is
    // delay-loaded (cmake/Hardening.cmake): the first MIDI call loads it, so a
    // winmm.dll lying beside the program is never taken for the system's.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return runPanel(instance, GetCommandLineA());
}
