// Pages: every control lies in the template from the start; showPage hides all
// page-specific groups and shows the one of the layout. pageMode remembers the
// last page chosen so a reconnect returns to it.
#include "pages.h"

#include <array>
#include <span>

#include "../link/message_table.h"
#include "../core/panel.h"
#include "../core/resource.h"

namespace {

constexpr std::array kPageButtons = {IDC_PAGE_SETTINGS, IDC_PAGE_TIME_CODE, IDC_PAGE_CALIBRATION};
constexpr std::array kMarkers = {IDC_MARK_SETTINGS, IDC_MARK_TIME_CODE, IDC_MARK_CALIBRATION};
constexpr std::array kUpdateGroup = {IDC_UPDATE_FIRMWARE, IDC_UPDATE_TEXT, IDC_UPDATE_PROGRESS};
constexpr std::array kSettingsGroup = {
    IDC_PROFILE_GROUP,   IDC_PROFILE_LIST,    IDC_PROFILE_NAME,      IDC_SAVE_PROFILE,
    IDC_VIDEO_REF_LABEL, IDC_VIDEO_REF,       IDC_EXT_LOCK_LABEL,    IDC_EXT_LOCK,
    IDC_SD_LABEL,        IDC_SD_STANDARD,     IDC_NTSC_BLACK_LABEL,  IDC_NTSC_BLACK,
    IDC_HD_LABEL,        IDC_OUT13_LABEL,     IDC_OUT4_LABEL,        IDC_OUT5_LABEL,
    IDC_OUT6_LABEL,      IDC_AUDIO_REF_LABEL, IDC_SAMPLE_RATE_LABEL, IDC_WORD16_LABEL,
    IDC_WORD78_LABEL,    IDC_AES_LABEL,       IDC_SPDIF_LABEL,       IDC_HD_STANDARD,
    IDC_VIDEO_OUT13,     IDC_VIDEO_OUT4,      IDC_VIDEO_OUT5,        IDC_VIDEO_OUT6,
    IDC_AUDIO_REF,       IDC_SAMPLE_RATE,     IDC_WORD_OUT16,        IDC_WORD_OUT78,
    IDC_AES_OUT,         IDC_SPDIF_OUT,       IDC_CONFIG_PROTECT,    IDC_CONFIG_PROTECT_NOTE,
};
// 133 to 152, 155 and 156.
constexpr std::array kTimeCodeGroup = {
    IDC_MTC_DISPLAY,
    IDC_MTC_MODE,
    IDC_MTC_GROUP,
    IDC_LOCATE_HOURS,
    IDC_LOCATE_HOURS_SPIN,
    IDC_LOCATE_MINUTES,
    IDC_LOCATE_MINUTES_SPIN,
    IDC_LOCATE_SECONDS,
    IDC_LOCATE_SECONDS_SPIN,
    IDC_MMC_LOCATE,
    IDC_LOCATE_RATE,
    IDC_MMC_PLAY,
    IDC_MMC_STOP,
    IDC_MMC_GROUP,
    IDC_JAM_LTC,
    IDC_CLOCK_GROUP,
    IDC_CLOCK_DISPLAY,
    IDC_JAM_SYSTEM_TIME,
    IDC_MTC_ERROR,
    IDC_AUTO_JAM,
    IDC_DAILY_JAM,
    IDC_TC_FORMAT_NOTE,
};
// 157 to 166, 176 to 181, 184 to 189.
constexpr std::array kCalibrationGroup = {
    IDC_SC_PHASE,        IDC_SC_PHASE_SPIN,  IDC_SC_PHASE_GROUP,    IDC_SC_PHASE_SAVE,  IDC_SC_PHASE_NOTE,
    IDC_H_PHASE,         IDC_H_PHASE_SPIN,   IDC_H_PHASE_GROUP,     IDC_H_PHASE_SAVE,   IDC_H_PHASE_NOTE,
    IDC_VARISPEED_GROUP, IDC_VARISPEED,      IDC_VARISPEED_RELEASE, IDC_VARISPEED_TEXT, IDC_VARISPEED_FREQ,
    IDC_VARISPEED_HELP,  IDC_USER_CAL_GROUP, IDC_OSC_WORDS,         IDC_USER_CAL,       IDC_USER_CAL_SPIN,
    IDC_USER_CAL_SAVE,   IDC_USER_CAL_TEXT,
};

void showGroup(std::span<const int> ids, int command) {
    for (int id : ids)
        ShowWindow(control(id), command);
}

} // namespace

void showPage(PageMode mode) {
    showGroup(kPageButtons, SW_HIDE);
    showGroup(kMarkers, SW_HIDE);
    showGroup(kUpdateGroup, SW_HIDE);
    showGroup(kSettingsGroup, SW_HIDE);
    showGroup(kTimeCodeGroup, SW_HIDE);
    showGroup(kCalibrationGroup, SW_HIDE);
    switch (mode) {
    case PageMode::UpdateNeeded: showGroup(kUpdateGroup, SW_SHOWNORMAL); break;
    case PageMode::Settings:
        showGroup(kPageButtons, SW_SHOWNORMAL);
        ShowWindow(control(IDC_MARK_SETTINGS), SW_SHOWNORMAL);
        showGroup(kSettingsGroup, SW_SHOWNORMAL);
        break;
    case PageMode::TimeCode:
        showGroup(kPageButtons, SW_SHOWNORMAL);
        ShowWindow(control(IDC_MARK_TIME_CODE), SW_SHOWNORMAL);
        showGroup(kTimeCodeGroup, SW_SHOWNORMAL);
        break;
    case PageMode::Calibration:
        showGroup(kPageButtons, SW_SHOWNORMAL);
        ShowWindow(control(IDC_MARK_CALIBRATION), SW_SHOWNORMAL);
        showGroup(kCalibrationGroup, SW_SHOWNORMAL);
        break;
    case PageMode::NotConnected: break;
    default: break; // nothing page-specific
    }
}

bool updateLayoutShown() {
    return (GetWindowLongA(control(IDC_UPDATE_FIRMWARE), GWL_STYLE) & WS_VISIBLE) != 0;
}

void onPageButton(int id) {
    switch (id) {
    case IDC_PAGE_SETTINGS:
        panel.pageMode = PageMode::Settings;
        showPage(PageMode::Settings);
        sendMessage(Msg::RequestSettings); // a failure is in the log; the page shows what it has
        break;
    case IDC_PAGE_TIME_CODE:
        panel.pageMode = PageMode::TimeCode;
        showPage(PageMode::TimeCode);
        break;
    case IDC_PAGE_CALIBRATION:
        panel.pageMode = PageMode::Calibration;
        showPage(PageMode::Calibration);
        break;
    default: break;
    }
}
