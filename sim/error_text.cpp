// Texts of the WinMM result codes, as midiInGetErrorText and
// midiOutGetErrorText give them.
#include "error_text.h"

namespace sim {

namespace {

const char* const kSystemTexts[] = {
    "The specified command was carried out.",
    "Undefined external error.",
    "A device ID has been used that is out of range for your system.",
    "The driver was not enabled.",
    "The specified device is already in use. Wait until it is free, and then try again.",
    "The specified device handle is invalid.",
    "There is no driver installed on your system.",
    "Not enough memory available for this task. Quit one or more applications to increase available memory, "
    "and then try again.",
    "This function is not supported. Use the Capabilities function to determine which functions and messages "
    "the driver supports.",
    "An error number was specified that is not defined in the system.",
    "An invalid flag was passed to a system function.",
    "An invalid parameter was passed to a system function.",
    "The specified handle is being used simultaneously by another thread (such as a callback).",
    "The specified alias was not found.",
    "The registry database is corrupt.",
    "The specified registry key was not found.",
    "The registry could not be read.",
    "The registry could not be written.",
    "The registry key could not be deleted.",
    "The specified registry value was not found.",
    "The driver did not generate a valid callback.",
    "More data is to be returned.",
};

const char* const kMidiTexts[] = {
    "The header has not been prepared. Use the Prepare function to prepare the header, and then try again.",
    "Cannot perform this operation while media data is still playing. Reset the device, or wait until the "
    "data "
    "is finished playing.",
    "A MIDI map was not found. There may be a problem with the driver, or the MIDIMAP.CFG file may be "
    "corrupt "
    "or missing.",
    "The port is transmitting data to the device. Wait until the data has been transmitted, and then try "
    "again.",
    "The current MIDI Mapper setup refers to a MIDI device that is not installed on the system.",
    "The current MIDI setup is damaged. Copy the original MIDIMAP.CFG file to the Windows SYSTEM directory, "
    "and "
    "then try again.",
    "The operation is not possible in the mode the device was opened in.",
    "The thru device is eating this message; do not pass it on.",
};

static_assert(sizeof kSystemTexts / sizeof kSystemTexts[0] == MMSYSERR_LASTERROR + 1, "one text per code");
static_assert(sizeof kMidiTexts / sizeof kMidiTexts[0] == MIDIERR_LASTERROR - MIDIERR_BASE + 1,
              "one per code");

} // namespace

const char* errorText(MMRESULT code) {
    if (code <= MMSYSERR_LASTERROR) return kSystemTexts[code];
    if (code >= MIDIERR_BASE && code <= MIDIERR_LASTERROR) return kMidiTexts[code - MIDIERR_BASE];
    return nullptr;
}

MMRESULT errorTextA(MMRESULT code, LPSTR text, UINT size) {
    if (!text) return MMSYSERR_INVALPARAM;
    if (size == 0) return MMSYSERR_NOERROR;
    const char* t = errorText(code);
    if (!t) return MMSYSERR_BADERRNUM;
    lstrcpynA(text, t, static_cast<int>(size));
    return MMSYSERR_NOERROR;
}

MMRESULT errorTextW(MMRESULT code, LPWSTR text, UINT size) {
    if (!text) return MMSYSERR_INVALPARAM;
    if (size == 0) return MMSYSERR_NOERROR;
    const char* t = errorText(code);
    if (!t) return MMSYSERR_BADERRNUM;
    UINT i = 0;
    for (; t[i] && i + 1 < size; ++i)
        text[i] = static_cast<WCHAR>(static_cast<unsigned char>(t[i]));
    text[i] = 0;
    return MMSYSERR_NOERROR;
}

} // namespace sim
