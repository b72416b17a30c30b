// User profiles: names from report 0x51, the current profile from report 0x41,
// recall with command 0x46, save with commands 0x52 and 0x54.
#include "profiles.h"

#include <cstdio>
#include <cstring>

#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../link/message_table.h"

namespace {

void rebuildProfileList() {
    HWND list = control(IDC_PROFILE_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    char entry[32];
    for (int slot = 0; slot < 4; ++slot) {
        std::snprintf(entry, sizeof entry, "%d: %s", slot + 1, panel.profileNames[slot]);
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }
}

void recallProfile() {
    HWND list = control(IDC_PROFILE_LIST);
    LRESULT i = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (i < 0 || i > 3) return;
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    sendWithItem(Msg::RecallProfile, static_cast<uint8_t>(i + 1));
    panel.currentProfile = CurrentProfile::Unknown; // the next settings report shows the recalled profile
}

void saveProfile() {
    LRESULT selected = SendMessageA(control(IDC_PROFILE_LIST), LB_GETCURSEL, 0, 0);
    int p = static_cast<int>(selected);
    // Without a selection (after a recall, before the next report) the unit's
    // current profile is the one saved; without that either, nothing is saved.
    if (selected < 0 || selected > 3) {
        if (panel.currentProfile == CurrentProfile::Unknown) return;
        p = static_cast<int>(panel.currentProfile);
    }

    char* slot = panel.profileNames[p];
    std::memset(slot, 0, 13); // a shorter name goes out with zeros after it
    GetDlgItemTextA(panel.window, IDC_PROFILE_NAME, slot, 13);
    encodeNibbleText(&message(Msg::ProfileName).bytes[5], std::span<const char>(slot, 12));
    SendResult saved = sendMessage(Msg::ProfileName);
    saved = firstFailure(saved, sendMessage(Msg::StoreProfile));
    panel.currentProfile = CurrentProfile::Unknown;
    logLine("Saved Profile %d: %s%s", p + 1, slot, notSentNote(saved));
}

} // namespace

void onProfileNameReport(int slot, const uint8_t* bytes, std::size_t count) {
    if (count < kProfileNameReportLength || slot < 0 || slot > 3) return;
    decodeNibbleText(panel.profileNames[slot], bytes + 6, 12);
}

void onCurrentProfileReported(int profile) {
    if (profile < 0 || profile > 3 || static_cast<CurrentProfile>(profile) == panel.currentProfile) return;
    SetDlgItemTextA(panel.window, IDC_PROFILE_NAME, panel.profileNames[profile]);
    panel.currentProfile = static_cast<CurrentProfile>(profile);
    rebuildProfileList();
    SendMessageA(control(IDC_PROFILE_LIST), LB_SETCURSEL, static_cast<WPARAM>(profile), 0);
}

void onProfileCommand(int id, int code) {
    switch (id) {
    case IDC_PROFILE_LIST:
        if (code == LBN_SELCHANGE) recallProfile();
        break;
    case IDC_PROFILE_NAME:
        if (code == EN_CHANGE) EnableWindow(control(IDC_SAVE_PROFILE), TRUE);
        break;
    case IDC_SAVE_PROFILE: saveProfile(); break;
    default: break;
    }
}
