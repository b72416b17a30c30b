// zembrax-panel.exe: the control panel of the zembrax HD sync generator.
#include <windows.h>

#include "main_panel.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return runPanel(instance, GetCommandLineA());
}
