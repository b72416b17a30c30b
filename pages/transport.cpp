// Transport and time sync. Only the frame-rate list is built so far: the
// buttons send nothing, the clock is not shown and no jam runs.
#include "transport.h"

#include <array>

#include "../app/panel.h"
#include "../app/resources/resource.h"

namespace {

constexpr std::array kLocateRates = {"24 FPS", "25 FPS", "29.97 DF", "30 FPS", "23.98 FPS", "29.97 FPS"};

} // namespace

void fillLocateRateList() {
    HWND list = control(IDC_LOCATE_RATE);
    for (const char* entry : kLocateRates)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    SendMessageA(list, LB_SETCURSEL, 1, 0);
}

void onTransportCommand(int, int) {}
void onMmcResponse(const uint8_t*, std::size_t) {}
void clockTick() {}
