// The two help message boxes: caption and text as the operator sees them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "core/resource.h"
#include "harness.h"
#include "version.h"

#ifndef ZEMBRAX_MAKER_WEB_ADDRESS
#define ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example"
#endif

namespace {

// Presses a help button; the harness reads the message box it opens and
// closes it with its OK button.
MessageBoxSeen pressHelp(HWND window, int button) {
    MessageBoxSeen shown = answerMessageBox(
        window, IDOK, [&] { SendMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0); });
    EXPECT_TRUE(shown.found) << "no message box";
    EXPECT_EQ(shown.owner, window) << "the box belongs to the panel";
    return shown;
}

TEST(Help, VarispeedHelp) {
    HWND window = openPanel();
    MessageBoxSeen shown = pressHelp(window, IDC_VARISPEED_HELP);
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
    MessageBoxSeen shown = pressHelp(window, IDC_UPDATE_HELP);
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
