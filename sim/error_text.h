#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace sim {

// The text of an MMSYSERR_ or MIDIERR_ code; nullptr for any other code.
const char* errorText(MMRESULT code);

// midiInGetErrorText and midiOutGetErrorText: MMSYSERR_BADERRNUM for unknown
// codes, MMSYSERR_INVALPARAM without a buffer; long texts are cut to the buffer.
MMRESULT errorTextA(MMRESULT code, LPSTR text, UINT size);
MMRESULT errorTextW(MMRESULT code, LPWSTR text, UINT size);

} // namespace sim
