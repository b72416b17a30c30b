// Connection and identification.
//
// Connect walks the units in turn: deviceOrdinal picks the n-th input port
// whose name starts with "zem" (any case), paired with the n-th such output.
// The identity reply is decoded here and judged: an operable unit (report
// 0x0A, firmware 301), an erased one, or one that needs a firmware update;
// what follows from that is up to the router (app/router.cpp), as is the
// layout after a Connect, a Release or a lost link.
//
// While the ports are open and no identity reply has come, the identity
// request goes out again every 2 s: a unit whose USB ports appear before its
// firmware answers misses the first one.
#include "connection.h"

#include <climits>
#include <cstdio>

#include "../core/log.h"
#include "../core/panel.h"
#include "../core/resource.h"
#include "../core/timer.h"
#include "message_table.h"
#include "midi_port.h"

namespace {

constexpr int kFirmwareDeleted = 87769; // four bytes 0x7F: 79 * 1111
constexpr int kRequiredFirmware = 301;
// firmwareVersion from Connect until an identity reply; no four bytes decode to it.
constexpr int kNotIdentified = INT_MIN;
constexpr UINT kIdentityRetryMs = 2000;

void setStatus(const char* text) {
    SetDlgItemTextA(panel.window, IDC_STATUS, text);
}

int fourDigits(const uint8_t* b) {
    return (b[0] - 0x30) * 1000 + (b[1] - 0x30) * 100 + (b[2] - 0x30) * 10 + (b[3] - 0x30);
}

} // namespace

bool matchesPortPrefix(const char* name) {
    static constexpr char lower[] = "zem";
    static constexpr char upper[] = "ZEM";
    for (int i = 0; i < 3; ++i)
        if (name[i] != lower[i] && name[i] != upper[i]) return false; // also ends at a NUL
    return true;
}

namespace {

ConnectResult connectSteps() {
    KillTimer(panel.window, kTimerPoll);
    closePorts();
    panel.currentProfile = CurrentProfile::Unknown;
    panel.unitOperable = false;

    UINT inputs = midiInGetNumDevs();
    if (inputs == 0) {
        setStatus("zembrax HD not found 01");
        panel.deviceOrdinal = 0;
        return ConnectResult::NoInputs;
    }
    panel.matchingInputCount = 0;
    for (UINT id = 0; id < inputs && panel.matchingInputCount < kMaxMatchingInputs; ++id) {
        MIDIINCAPSA caps{};
        if (midiInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        if (matchesPortPrefix(caps.szPname)) panel.matchingInputs[panel.matchingInputCount++] = id;
    }
    if (panel.matchingInputCount == 0) {
        panel.deviceOrdinal = 0;
        setStatus("zembrax HD not found 02");
        return ConnectResult::NoMatchingInput;
    }
    panel.deviceOrdinal += 1;
    if (panel.deviceOrdinal > panel.matchingInputCount || panel.deviceOrdinal < 1) panel.deviceOrdinal = 1;
    panel.inputDeviceId = panel.matchingInputs[panel.deviceOrdinal - 1];

    UINT outputs = midiOutGetNumDevs();
    if (outputs == 0) {
        panel.deviceOrdinal = 0;
        setStatus("zembrax HD not found 03");
        return ConnectResult::NoOutputs;
    }
    int matchingOutputs = 0;
    bool found = false;
    for (UINT id = 0; id < outputs; ++id) {
        MIDIOUTCAPSA caps{};
        if (midiOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        if (!matchesPortPrefix(caps.szPname)) continue;
        if (++matchingOutputs == panel.deviceOrdinal) {
            panel.outputDeviceId = id;
            found = true;
            break;
        }
    }
    if (!found) {
        setStatus("zembrax HD not found 04");
        return ConnectResult::NoMatchingOutput;
    }

    switch (openPorts(panel.inputDeviceId, panel.outputDeviceId)) {
    case OpenResult::InputFailure:
        setStatus("zembrax MIDI input can not be opened,\nprobably used by an other application");
        return ConnectResult::InputBusy;
    case OpenResult::InputNotStarted:
        setStatus("zembrax HD not found 05");
        return ConnectResult::InputNotStarted;
    case OpenResult::OutputFailure:
        setStatus("zembrax MIDI output can not be opened,\nprobably used by an other application");
        return ConnectResult::OutputBusy;
    case OpenResult::Success: break;
    }
    panel.firmwareVersion = kNotIdentified;
    startTimer(kTimerPoll, 500);
    startTimer(kTimerIdentity, kIdentityRetryMs);
    setStatus("zembrax HD not found 05");
    // May end the link at once if the unit is gone: the window learns it
    // from takeLinkLost, the log from the port layer.
    // A refused request goes out again with the identity retry.
    SendResult asked = sendMessage(Msg::Identity);
    return asked == SendResult::Sent || panel.inputPort ? ConnectResult::Waiting : ConnectResult::Lost;
}

} // namespace

ConnectResult connectUnit(bool automatic) {
    panel.autoConnecting = automatic;
    ConnectResult result = connectSteps();
    panel.autoConnecting = false;
    return result;
}

void releaseUnit() {
    KillTimer(panel.window, kTimerPoll);
    if (anyPortOpen()) {
        SendResult told = sendMessage(Msg::VarispeedRelease);
        SetDlgItemTextA(panel.window, IDC_VARISPEED_FREQ, "");
        SetDlgItemTextA(panel.window, IDC_VARISPEED_TEXT, kVarispeedHint);
        told = firstFailure(told, sendWithItem(Msg::LinkFlag, 0x00));
        // A send that found the unit gone has ended the link already ("MIDI
        // connection lost", ports closed): there is nothing left to release.
        if (told != SendResult::Sent && !anyPortOpen()) return;
        logLine("MIDI connection released");
        closePorts();
    }
    setStatus("zembrax HD not connected");
}

void onAutoConnectClicked() {
    if (SendMessageA(control(IDC_AUTO_CONNECT), BM_GETCHECK, 0, 0) == BST_CHECKED)
        startTimer(kTimerAutoConnect, 2000);
    else
        KillTimer(panel.window, kTimerAutoConnect);
}

void autoConnectTick() {
    if (!updateRunning() && !anyPortOpen())
        PostMessageA(panel.window, WM_COMMAND, IDC_CONNECT, kAutoConnectMark);
}

LinkCheck pollConnection() {
    if (midiInStart(panel.inputPort) == MMSYSERR_NOERROR) return LinkCheck::Alive;
    connectionLost();
    return LinkCheck::Lost;
}

void connectionLost() {
    KillTimer(panel.window, kTimerPoll);
    if (!anyPortOpen()) return; // already closed: nothing left to lose
    closePorts();
    SendMessageA(panel.window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control(IDC_CONNECT)), TRUE);
    setStatus("zembrax HD not connected");
    logLine("MIDI connection lost");
    panel.linkLostPending = true;
}

bool takeLinkLost() {
    bool lost = panel.linkLostPending;
    panel.linkLostPending = false;
    return lost;
}

void startQuerySequence() {
    startTimer(kTimerQuerySequence, 20);
    panel.querySequenceStep = 0;
}

void identityRetryTick() {
    if (!linkOpen() || panel.firmwareVersion != kNotIdentified) {
        KillTimer(panel.window, kTimerIdentity);
        return;
    }
    sendMessage(Msg::Identity);
}

void querySequenceTick() {
    switch (panel.querySequenceStep) {
    case 0: sendWithItem(Msg::RequestItem, 0x0A); break;
    case 1: sendWithItem(Msg::RequestItem, 0x1E); break;
    case 2: sendWithItem(Msg::RequestItem, 0x32); break;
    case 3: sendWithItem(Msg::RequestItem, 0x68); break;
    case 4: sendMessage(Msg::VarispeedRelease); break;
    case 5: sendMessage(Msg::RequestSettings); break;
    case 6: sendWithItem(Msg::RequestCalibration, 0x48); break;
    case 7: sendWithItem(Msg::RequestCalibration, 0x79); break;
    case 8: sendWithItem(Msg::RequestCalibration, 0x51); break;
    case 9: sendWithItem(Msg::RequestItem, 0x40); break;
    case 10:
        sendWithItem(Msg::LinkFlag, 0x01);
        KillTimer(panel.window, kTimerQuerySequence);
        break;
    case 11: KillTimer(panel.window, kTimerQuerySequence); break;
    default: return; // above 11: nothing, and the step stays
    }
    ++panel.querySequenceStep;
}

UnitKind identifyUnit(const uint8_t* bytes) {
    panel.serialNumber = fourDigits(bytes + 5);
    panel.firmwareVersion = fourDigits(bytes + 9);
    panel.unitOperable = false;
    char text[64];
    if (panel.firmwareVersion == kFirmwareDeleted) {
        std::snprintf(text, sizeof text, "zembrax HD connected\nSerial: H %04d Firmware: deleted",
                      panel.serialNumber);
        setStatus(text);
        return UnitKind::Erased;
    }
    std::snprintf(text, sizeof text, "zembrax HD connected\nSerial: H %04d Firmware: %04d",
                  panel.serialNumber, panel.firmwareVersion);
    setStatus(text);
    logLine("zembrax H %04d connected", panel.serialNumber);
    panel.unitOperable = bytes[4] == 0x0A && panel.firmwareVersion == kRequiredFirmware;
    return panel.unitOperable ? UnitKind::Operable : UnitKind::NeedsUpdate;
}
