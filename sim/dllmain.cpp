// Entry of the simulator DLL. The configuration variable is read here, when
// the DLL loads; the world itself is built on the first call into the DLL,
// outside the loader lock.
#include <windows.h>

namespace sim {

namespace {
char configuration[8192];
bool configured = false;
} // namespace

const char* loadTimeConfiguration() {
    return configured ? configuration : nullptr;
}

} // namespace sim

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        DWORD n = GetEnvironmentVariableA("ZEMBRAX_SIM", sim::configuration, sizeof sim::configuration);
        sim::configured = n > 0 && n < sizeof sim::configuration;
    }
    return TRUE;
}
