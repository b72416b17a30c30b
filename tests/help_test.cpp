// The two help message boxes: caption and text as the operator sees them.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/resource.h"
#include "harness.h"
#include "version.h"

#ifndef ZEMBRAX_MAKER_WEB_ADDRESS
#define ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example"
#endif

namespace {

struct Shown {
    bool found = false;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
};

struct Search {
    HWND panel;
    HWND found;
};

// Any dialog of the panel's thread other than the panel: a message box has
// the dialog class whatever its owner.
BOOL CALLBACK findBox(HWND candidate, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    char className[32] = {};
    GetClassNameA(candidate, className, sizeof className);
    if (candidate != search->panel && std::string(className) == "#32770" && IsWindowVisible(candidate)) {
        search->found = candidate;
        return FALSE;
    }
    return TRUE;
}

// Presses a help button and, from a watchdog thread, reads the message box it
// opens and closes it with its OK button. A box that does not go is closed
// harder after a few seconds; if the press still has not returned, the test
// program ends with a failure instead of hanging the suite.
Shown pressHelp(HWND window, int button) {
    constexpr DWORD kCloseHarderMs = 5000;
    constexpr DWORD kGiveUpMs = 15000;
    Shown shown;
    std::atomic<bool> returned{false};
    const DWORD panelThread = GetCurrentThreadId();
    std::thread watchdog([&] {
        const DWORD start = GetTickCount();
        while (!returned) {
            Search search{window, nullptr};
            EnumThreadWindows(panelThread, findBox, reinterpret_cast<LPARAM>(&search));
            const DWORD spent = GetTickCount() - start;
            if (search.found && !shown.found) {
                shown.found = true;
                shown.owner = GetWindow(search.found, GW_OWNER);
                char text[2048] = {};
                GetWindowTextA(search.found, text, sizeof text);
                shown.caption = text;
                GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text); // the box's message text
                shown.text = text;
                PostMessageA(search.found, WM_COMMAND, IDOK, 0);
            } else if (search.found && spent > kCloseHarderMs) {
                PostMessageA(search.found, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(search.found, WM_CLOSE, 0, 0);
            }
            if (spent > kGiveUpMs) {
                std::fprintf(stderr, "help button %d: the press did not return within %lu ms\n", button,
                             static_cast<unsigned long>(kGiveUpMs));
                std::fflush(stderr);
                std::_Exit(1);
            }
            Sleep(25);
        }
    });
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0); // returns when the box closes
    returned = true;
    watchdog.join();
    EXPECT_TRUE(shown.found) << "no message box";
    EXPECT_EQ(shown.owner, window) << "the box belongs to the panel";
    return shown;
}

TEST(Help, VarispeedHelp) {
    HWND window = openPanel();
    Shown shown = pressHelp(window, IDC_VARISPEED_HELP);
    EXPECT_EQ(shown.caption, "   Word Clock Varispeed");
    EXPECT_EQ(shown.text, "Use varispeed to generate non standard sample rates locked\n"
                          "to the video reference. Asynchronously recorded audio files can\n"
                          "be corrected by using inverse tuned playback sample rates.\n"
                          "Enter an integer value from 40000000 to 52025000 mHz.\n"
                          "Example:\n"
                          "A 48 kHz audio file accumulates a 40ms (+1 frame) offset to a\n"
                          "PAL 25 fps movie after one hour of playback (90000 frames).\n"
                          "90001 frames / 90000 frames * 48000 Hz = 48000533 mHz\n"
                          "A playback sample rate of 48000533 mHz will compensate a +1 frame\n"
                          "audio drift at a duration of one hour.");
    closePanel(window);
}

TEST(Help, FirmwareHelp) {
    HWND window = openPanel();
    Shown shown = pressHelp(window, IDC_UPDATE_HELP);
    EXPECT_EQ(shown.caption, "   Firmware 3.0");
    EXPECT_EQ(shown.text,
              "To update your zembrax firmware to version 3.0 you first\n"
              "have to connect the unit to an Intel PC running windows 10 via USB.\n"
              "Press Connect -> Update Firmware.\n"
              "Your current settings will be copied into new user profile 4: User FW21.\n\n"
              "After the firmware update your zembrax HD will be ready to connect to AMD Ryzen as well as "
              "newest Apple M1 hardware.\n\n"
              "For new features of firmware 3.0 please refer to the\n\n"
              "--- zembrax HD 3.0 update documentation ---\n\n"
              "which can be downloaded from\n\n"
              "---- " ZEMBRAX_MAKER_WEB_ADDRESS " ----\n\n"
              "zembrax-panel " ZEMBRAX_VERSION "\n"
              "Firmware image: stand-in test image, never to be sent to a real unit");
    closePanel(window);
}

} // namespace
