// Identifiers of the panel's resources: dialog 100, its controls, icon 102.
// The .rc template and every handler use these names.
#pragma once

#define IDD_MAIN_PANEL 100
#define IDI_PANEL 102
#define IDC_SEND_NEXT_RECORD 401 // internal: posted to send the next firmware record

#define IDC_STATUS 112
#define IDC_VIDEO_REF_LABEL 114
#define IDC_UPDATE_TEXT 115
#define IDC_UPDATE_PROGRESS 116
#define IDC_SD_LABEL 117
#define IDC_NTSC_BLACK_LABEL 120
#define IDC_EXT_LOCK_LABEL 121
#define IDC_HD_LABEL 122
#define IDC_OUT13_LABEL 123
#define IDC_OUT4_LABEL 124
#define IDC_OUT5_LABEL 125
#define IDC_OUT6_LABEL 126
#define IDC_AUDIO_REF_LABEL 127
#define IDC_SAMPLE_RATE_LABEL 128
#define IDC_WORD16_LABEL 129
#define IDC_WORD78_LABEL 130
#define IDC_AES_LABEL 131
#define IDC_SPDIF_LABEL 132
#define IDC_MTC_DISPLAY 133
#define IDC_MTC_MODE 134
#define IDC_MTC_GROUP 135
#define IDC_LOCATE_HOURS 136
#define IDC_LOCATE_HOURS_SPIN 137
#define IDC_LOCATE_MINUTES 138
#define IDC_LOCATE_MINUTES_SPIN 139
#define IDC_LOCATE_SECONDS 140
#define IDC_LOCATE_SECONDS_SPIN 141
#define IDC_MMC_LOCATE 142
#define IDC_LOCATE_RATE 143
#define IDC_MMC_PLAY 144
#define IDC_MMC_STOP 145
#define IDC_MMC_GROUP 146
#define IDC_JAM_LTC 147
#define IDC_CLOCK_GROUP 148
#define IDC_CLOCK_DISPLAY 149
#define IDC_JAM_SYSTEM_TIME 150
#define IDC_MTC_ERROR 151
#define IDC_AUTO_JAM 152
#define IDC_AUTO_CONNECT 153
#define IDC_CLEAR_LOGS 154
#define IDC_DAILY_JAM 155
#define IDC_TC_FORMAT_NOTE 156
#define IDC_SC_PHASE 157
#define IDC_SC_PHASE_SPIN 158
#define IDC_SC_PHASE_GROUP 159
#define IDC_SC_PHASE_SAVE 160
#define IDC_SC_PHASE_NOTE 161
#define IDC_H_PHASE 162
#define IDC_H_PHASE_SPIN 163
#define IDC_H_PHASE_GROUP 164
#define IDC_H_PHASE_SAVE 165
#define IDC_H_PHASE_NOTE 166
#define IDC_VARISPEED_GROUP 176
#define IDC_VARISPEED 177
#define IDC_VARISPEED_RELEASE 178
#define IDC_VARISPEED_TEXT 179
#define IDC_VARISPEED_FREQ 180
#define IDC_VARISPEED_HELP 181
#define IDC_UPDATE_HELP 182
#define IDC_CONFIG_PROTECT 183
#define IDC_USER_CAL_GROUP 184
#define IDC_OSC_WORDS 185
#define IDC_USER_CAL 186
#define IDC_USER_CAL_SPIN 187
#define IDC_USER_CAL_SAVE 188
#define IDC_USER_CAL_TEXT 189
#define IDC_CAPTURE_TUNING 190
#define IDC_ERASE_EEPROM 191
#define IDC_PROFILE_GROUP 192
#define IDC_CONFIG_PROTECT_NOTE 193
#define IDC_PAGE_SETTINGS 211
#define IDC_PAGE_TIME_CODE 212
#define IDC_PAGE_CALIBRATION 213
#define IDC_CONNECT 221
#define IDC_RELEASE 222
#define IDC_UPDATE_FIRMWARE 223
#define IDC_SAVE_PROFILE 224
#define IDC_VIDEO_REF 240
#define IDC_SD_STANDARD 241
#define IDC_HD_STANDARD 242
#define IDC_VIDEO_OUT13 243
#define IDC_VIDEO_OUT4 244
#define IDC_VIDEO_OUT5 245
#define IDC_VIDEO_OUT6 246
#define IDC_AUDIO_REF 247
#define IDC_SAMPLE_RATE 248
#define IDC_WORD_OUT16 249
#define IDC_WORD_OUT78 250
#define IDC_AES_OUT 251
#define IDC_SPDIF_OUT 252
#define IDC_PROFILE_LIST 253
#define IDC_PROFILE_NAME 254
#define IDC_NTSC_BLACK 255
#define IDC_EXT_LOCK 256
#define IDC_MARK_SETTINGS 300
#define IDC_MARK_TIME_CODE 301
#define IDC_MARK_CALIBRATION 302
#define IDC_LOG 303

// Entries of the log's menus: the context menu of list 303 and the same entries
// at the end of the system menu. System-menu identifiers must be multiples of
// 16 below 0xF000 (Windows uses the low four bits of WM_SYSCOMMAND itself).
#define IDM_LOG_COPY_ALL 0x0510
#define IDM_LOG_SAVE_AS 0x0520
#define IDM_LOG_OPEN_FOLDER 0x0530
#define IDM_LOG_CLEAR 0x0540

// The unit configuration's entries at the end of the system menu, after the log's.
#define IDM_CONFIG_SAVE 0x0550
#define IDM_CONFIG_RESTORE 0x0560
