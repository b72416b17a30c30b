// Tests of the simulated zembrax HD on its own: the WinMM MIDI functions of
// the simulator's winmm.dll and its control interface, driven from this
// process with a hidden window as the notification target, the way the
// panel uses them.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "sim_control.h"

namespace {

// One notification as the window saw it, with the buffer contents copied out
// at that moment (the buffer is reused afterwards).
struct Notice {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    Bytes data;
    DWORD flags = 0;
    std::chrono::steady_clock::time_point at;
};

std::vector<Notice> notices;
std::function<void(const Notice&)> onNotice;

LRESULT CALLBACK noticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case MM_MIM_OPEN:
    case MM_MIM_CLOSE:
    case MM_MIM_DATA:
    case MM_MIM_ERROR:
    case MM_MIM_LONGDATA:
    case MM_MIM_LONGERROR:
    case MM_MOM_OPEN:
    case MM_MOM_CLOSE:
    case MM_MOM_DONE: {
        Notice n{message, wParam, lParam, {}, 0, std::chrono::steady_clock::now()};
        if (message == MM_MIM_LONGDATA || message == MM_MIM_LONGERROR) {
            auto* h = reinterpret_cast<MIDIHDR*>(lParam);
            n.data.assign(h->lpData, h->lpData + h->dwBytesRecorded);
            n.flags = h->dwFlags;
        }
        notices.push_back(n);
        if (onNotice) onNotice(notices.back());
        return 0;
    }
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

HWND noticeWindow() {
    static HWND window = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = noticeProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "SimTestNotices";
        RegisterClassA(&wc);
        return CreateWindowExA(0, "SimTestNotices", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                               nullptr);
    }();
    return window;
}

// Waits for the simulator to be idle and handles what it posted.
void settle() {
    ASSERT_EQ(0, simWaitIdle(3000));
    pumpMessages();
}

std::vector<Notice> noticesOf(UINT message) {
    std::vector<Notice> v;
    for (const Notice& n : notices)
        if (n.message == message) v.push_back(n);
    return v;
}

// An open pair of ports with two 512-byte input buffers, as the panel holds them.
struct Link {
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    char data[2][512] = {};
    MIDIHDR header[2] = {};

    explicit Link(UINT inputDevice = 0, UINT outputDevice = 0, bool start = true) {
        EXPECT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, inputDevice, reinterpret_cast<DWORD_PTR>(noticeWindow()),
                                               0, CALLBACK_WINDOW));
        for (int i = 0; i < 2; ++i) {
            header[i].lpData = data[i];
            header[i].dwBufferLength = sizeof data[i];
            EXPECT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(in, &header[i], sizeof header[i]));
        }
        if (start) {
            EXPECT_EQ(MMSYSERR_NOERROR, midiInStart(in));
        }
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, outputDevice, 0, 0, CALLBACK_NULL));
    }

    void queue(int i) { EXPECT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(in, &header[i], sizeof header[i])); }

    MMRESULT send(const Bytes& bytes) {
        Bytes copy = bytes;
        MIDIHDR h{};
        h.lpData = reinterpret_cast<LPSTR>(copy.data());
        h.dwBufferLength = static_cast<DWORD>(copy.size());
        MMRESULT r = midiOutPrepareHeader(out, &h, sizeof h);
        if (r) return r;
        r = midiOutLongMsg(out, &h, sizeof h);
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(out, &h, sizeof h));
        return r;
    }

    ~Link() {
        if (in) {
            midiInReset(in);
            midiInUnprepareHeader(in, &header[0], sizeof header[0]);
            midiInUnprepareHeader(in, &header[1], sizeof header[1]);
            midiInClose(in);
        }
        if (out) {
            midiOutReset(out);
            midiOutClose(out);
        }
        pumpMessages();
    }
};

// Sends a request and returns the one SysEx reply.
Bytes ask(Link& link, const Bytes& request) {
    const size_t before = noticesOf(MM_MIM_LONGDATA).size();
    link.queue(0);
    EXPECT_EQ(MMSYSERR_NOERROR, link.send(request));
    EXPECT_TRUE(pumpUntil(2000, [&] { return noticesOf(MM_MIM_LONGDATA).size() > before; }));
    auto replies = noticesOf(MM_MIM_LONGDATA);
    return replies.size() > before ? replies[before].data : Bytes{};
}

std::string nibbleText(const Bytes& b, size_t first, size_t characters) {
    std::string s;
    for (size_t i = 0; i < characters; ++i) {
        char c = static_cast<char>(b[first + 2 * i] << 4 | b[first + 2 * i + 1]);
        if (c) s += c;
    }
    return s;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simReset();
        pumpMessages();
        notices.clear();
        onNotice = nullptr;
    }
    void TearDown() override {
        onNotice = nullptr;
        simReset();
    }
};

TEST_F(SimTest, EnumeratesPortsByName) {
    MIDIINCAPSA inCaps{};
    MIDIOUTCAPSA outCaps{};
    ASSERT_EQ(1u, midiInGetNumDevs());
    ASSERT_EQ(1u, midiOutGetNumDevs());
    EXPECT_EQ(MMSYSERR_NOERROR, midiInGetDevCapsA(0, &inCaps, sizeof inCaps));
    EXPECT_STREQ("ZEM HD MIDI In", inCaps.szPname);
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(0, &outCaps, sizeof outCaps));
    EXPECT_STREQ("ZEM HD MIDI Out", outCaps.szPname);
    EXPECT_EQ(MOD_MIDIPORT, outCaps.wTechnology);
    EXPECT_EQ(MMSYSERR_BADDEVICEID, midiInGetDevCapsA(1, &inCaps, sizeof inCaps));
    EXPECT_EQ(MMSYSERR_INVALPARAM, midiOutGetDevCapsA(0, nullptr, sizeof outCaps));

    const char* inputs[] = {"ZEM HD A", "Other In", "ZEM HD B"};
    const char* outputs[] = {"ZEM HD A", "ZEM HD B"};
    simSetInputPorts(3, inputs);
    simSetOutputPorts(2, outputs);
    EXPECT_EQ(0, simAddUnit(0, 0));
    EXPECT_EQ(1, simAddUnit(2, 1));
    EXPECT_EQ(-1, simAddUnit(3, 0));
    ASSERT_EQ(3u, midiInGetNumDevs());
    EXPECT_EQ(MMSYSERR_NOERROR, midiInGetDevCapsA(1, &inCaps, sizeof inCaps));
    EXPECT_STREQ("Other In", inCaps.szPname);

    // A name is cut to the 32 characters of szPname.
    const char* longName[] = {"ZEM HD with a name much longer than thirty-one characters"};
    simSetInputPorts(1, longName);
    EXPECT_EQ(MMSYSERR_NOERROR, midiInGetDevCapsA(0, &inCaps, sizeof inCaps));
    EXPECT_EQ(31u, std::strlen(inCaps.szPname));
}

TEST_F(SimTest, OpenAndCloseNotifyTheWindowAndHandlesGoStale) {
    HMIDIIN in = nullptr, second = nullptr;
    HWND window = noticeWindow();
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW));
    EXPECT_EQ(MMSYSERR_ALLOCATED,
              midiInOpen(&second, 0, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(MMSYSERR_BADDEVICEID, midiInOpen(&second, 1, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_INVALPARAM, midiInOpen(&second, 0, 12345, 0, CALLBACK_WINDOW)); // not a window
    ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));
    pumpMessages();
    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(static_cast<UINT>(MM_MIM_OPEN), notices[0].message);
    EXPECT_EQ(reinterpret_cast<WPARAM>(in), notices[0].wParam);
    EXPECT_EQ(static_cast<UINT>(MM_MIM_CLOSE), notices[1].message);
    EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInClose(in));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInStart(in));

    // simReset invalidates whatever the panel still holds.
    HMIDIOUT out = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
    simReset();
    EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInReset(in));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, midiOutClose(out));
    EXPECT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(in));
}

TEST_F(SimTest, HeaderRulesOfInputBuffers) {
    HMIDIIN in = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR,
              midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(noticeWindow()), 0, CALLBACK_WINDOW));
    char data[2][64];
    MIDIHDR h[2] = {};
    for (int i = 0; i < 2; ++i) {
        h[i].lpData = data[i];
        h[i].dwBufferLength = sizeof data[i];
    }
    EXPECT_EQ(MIDIERR_UNPREPARED, midiInAddBuffer(in, &h[0], sizeof h[0]));
    EXPECT_EQ(MMSYSERR_INVALPARAM, midiInPrepareHeader(in, &h[0], 8));
    for (auto& header : h)
        ASSERT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(in, &header, sizeof header));
    EXPECT_EQ(static_cast<DWORD>(MHDR_PREPARED), h[0].dwFlags);
    for (auto& header : h)
        ASSERT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(in, &header, sizeof header));
    EXPECT_EQ(static_cast<DWORD>(MHDR_PREPARED | MHDR_INQUEUE), h[0].dwFlags);
    EXPECT_EQ(2, simQueuedInputBuffers(0));
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiInAddBuffer(in, &h[0], sizeof h[0]));
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiInUnprepareHeader(in, &h[0], sizeof h[0]));
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiInClose(in));

    // Reset hands every queued buffer back empty and done, in queue order.
    ASSERT_EQ(MMSYSERR_NOERROR, midiInReset(in));
    EXPECT_EQ(0, simQueuedInputBuffers(0));
    for (auto& header : h) {
        EXPECT_EQ(static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE), header.dwFlags);
        EXPECT_EQ(0u, header.dwBytesRecorded);
    }
    pumpMessages();
    auto returned = noticesOf(MM_MIM_LONGDATA);
    ASSERT_EQ(2u, returned.size());
    EXPECT_EQ(reinterpret_cast<LPARAM>(&h[0]), returned[0].lParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(&h[1]), returned[1].lParam);
    EXPECT_TRUE(returned[0].data.empty());
    for (auto& header : h)
        EXPECT_EQ(MMSYSERR_NOERROR, midiInUnprepareHeader(in, &header, sizeof header));
    EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(in));
}

TEST_F(SimTest, IdentityRoundTripTakesWireTime) {
    Link link;
    link.queue(0);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x01})));
    ASSERT_TRUE(pumpUntil(2000, [] { return !noticesOf(MM_MIM_LONGDATA).empty(); }));
    const Notice reply = noticesOf(MM_MIM_LONGDATA)[0];
    EXPECT_EQ(reinterpret_cast<WPARAM>(link.in), reply.wParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(&link.header[0]), reply.lParam);
    EXPECT_TRUE(reply.flags & MHDR_DONE);
    EXPECT_EQ((Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x0A, '1', '2', '3', '4', '0', '3', '0', '1', 0xF7}),
              reply.data);
    // 6 bytes out and 14 bytes back at 320 microseconds each.
    EXPECT_GE(reply.at - sent, std::chrono::microseconds(6400));

    ASSERT_EQ(1u, simReceivedCount(0));
    uint8_t got[16];
    EXPECT_EQ(6u, simReceived(0, 0, got, sizeof got));
    EXPECT_EQ(0x01, got[4]);
    EXPECT_EQ(0, simProtocolViolations(0));

    const char noFirmware[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    simSetIdentity(0, "2001", noFirmware, 0x08);
    EXPECT_EQ((Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x08, '2', '0', '0', '1', 0x7F, 0x7F, 0x7F, 0x7F, 0xF7}),
              ask(link, deviceFrame({0x01})));
}

TEST_F(SimTest, SettingsReportFollowsParameterCommands) {
    Link link;
    Bytes report = ask(link, deviceFrame({0x40}));
    ASSERT_EQ(27u, report.size());
    EXPECT_EQ(0x41, report[4]);
    EXPECT_EQ(0x00, report[5]);
    for (int n = 1; n <= 19; ++n) {
        EXPECT_GE(report[5 + n], 1) << "parameter " << n;
        EXPECT_EQ(simGetParameter(0, n), report[5 + n]) << "parameter " << n;
    }
    EXPECT_EQ(0x01, report[25]);
    EXPECT_EQ(0xF7, report[26]);

    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 5})));  // SD standard B&W 30
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x42, 4, 5})));  // HD rate position 5
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 3, 5})));  // HD group 5: 720p 60
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x42, 25, 1}))); // NTSC black +7.5 IRE
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x42, 24, 1}))); // Black Dolby
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 17, 7}))); // word out 7-8 Pilotton
    report = ask(link, deviceFrame({0x40}));
    ASSERT_EQ(27u, report.size());
    EXPECT_EQ(5, report[7]);
    EXPECT_EQ(5, report[8]);
    EXPECT_EQ(5, report[9]);
    EXPECT_EQ(7, report[22]);
    EXPECT_EQ(0x14, report[5]);
    EXPECT_EQ(0x14, simGetFlags(0));
    EXPECT_EQ(0, simProtocolViolations(0));

    // Out of range, unknown parameter, or the wrong command: counted, not applied.
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 6})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 0})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 20, 1})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 4, 1})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x42, 26, 2})));
    EXPECT_EQ(5, simProtocolViolations(0));
    EXPECT_EQ(5, simGetParameter(0, 2));
    EXPECT_EQ(5, simGetParameter(0, 4));
    EXPECT_EQ(0, simGetParameter(0, 26));
}

TEST_F(SimTest, ProfileNamesRecallAndStore) {
    Link link;
    Bytes name = ask(link, deviceFrame({0x50, 0x1E}));
    ASSERT_EQ(31u, name.size());
    EXPECT_EQ(0x51, name[4]);
    EXPECT_EQ(0x1E, name[5]);
    for (size_t i = 6; i < 30; ++i)
        EXPECT_LE(name[i], 0x0F);
    EXPECT_EQ("Profile 2", nibbleText(name, 6, 12));

    // The name goes to the current profile (profile 1 after the factory).
    Bytes rename{0xF0, 0x2C, 0x5A, 0x42, 0x52};
    const char text[12] = {'S', 't', 'u', 'd', 'i', 'o', ' ', 'A', 0, 0, 0, 0};
    for (char c : text) {
        rename.push_back(static_cast<uint8_t>(c) >> 4);
        rename.push_back(static_cast<uint8_t>(c) & 0x0F);
    }
    rename.push_back(0xF7);
    ASSERT_EQ(30u, rename.size());
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(rename));
    EXPECT_EQ("Studio A", nibbleText(ask(link, deviceFrame({0x50, 0x0A})), 6, 12));
    char held[13];
    ASSERT_EQ(0, simGetProfileName(0, 0, held));
    EXPECT_STREQ("Studio A", held);

    // Store profile 1 with SD standard PAL 23.98, change it, recall profile 1.
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 4})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x54})));
    EXPECT_EQ(4, simGetStoredParameter(0, 0, 2));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 1})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x46, 1})));
    EXPECT_EQ(4, simGetParameter(0, 2));

    // Recall profile 3: factory settings, current profile 2 in the flags.
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x46, 3})));
    Bytes report = ask(link, deviceFrame({0x40}));
    ASSERT_EQ(27u, report.size());
    EXPECT_EQ(2, report[5] & 3);
    EXPECT_EQ(2, report[7]);

    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x46, 5})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x50, 0x14})));
    EXPECT_EQ(2, simProtocolViolations(0));
    EXPECT_EQ(2, simGetFlags(0) & 3);
}

TEST_F(SimTest, CalibrationLiveStoredAndReports) {
    Link link;
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x58, 0x79, 0x0F, 0x0B}))); // -5 live
    EXPECT_EQ(0xFB, simGetCalibration(0, 0x79, 0));
    EXPECT_EQ(0x00, simGetCalibration(0, 0x79, 1));
    EXPECT_EQ((Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x57, 0x79, 0x0F, 0x0B, 0xF7}),
              ask(link, deviceFrame({0x56, 0x79})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x5A, 0x79, 0x00, 0x05})));
    EXPECT_EQ(0x05, simGetCalibration(0, 0x79, 1));
    EXPECT_EQ(0xFB, simGetCalibration(0, 0x79, 0));

    // Configuration protect is a flag of the settings report.
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x58, 0x50, 0x00, 0x01})));
    EXPECT_EQ(0x20, simGetFlags(0) & 0x20);
    EXPECT_EQ(0, simGetCalibration(0, 0x50, 1));

    // Oscillator words: VCXO in bytes 6..9, TCXO in bytes 14..21.
    simSetOscillatorWords(0, 0x1234, 0x000186A0);
    Bytes words = ask(link, deviceFrame({0x50, 0x40}));
    ASSERT_EQ(23u, words.size());
    EXPECT_EQ((Bytes{0x01, 0x02, 0x03, 0x04}), Bytes(words.begin() + 6, words.begin() + 10));
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x0A, 0x00}),
              Bytes(words.begin() + 14, words.begin() + 22));

    // Varispeed 48000533 mHz, then released.
    ASSERT_EQ(MMSYSERR_NOERROR,
              link.send(deviceFrame({0x5C, 0x02, 0x0B, 0x0F, 0x01, 0x0E, 0x00, 0x00, 0x05})));
    uint32_t q = 0;
    EXPECT_EQ(1, simGetVarispeed(0, &q));
    EXPECT_EQ(737271813u, q);
    EXPECT_EQ(0x40, simGetFlags(0) & 0x40);
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x5E})));
    EXPECT_EQ(0, simGetVarispeed(0, nullptr));
    EXPECT_EQ(0, simProtocolViolations(0));

    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x58, 0x79, 0x10, 0x00}))); // not a nibble pair
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x56, 0x50})));             // no such report
    EXPECT_EQ(2, simProtocolViolations(0));
    EXPECT_EQ(0xFB, simGetCalibration(0, 0x79, 0));
}

TEST_F(SimTest, TwoMessagesBackToBackFillTwoQueuedBuffers) {
    Link link;
    link.queue(0);
    link.queue(1);
    const Bytes first = deviceFrame({0x61, 0x02}), second = deviceFrame({0x57, 0x48, 0x00, 0x03});
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    simSendRaw(0, both.data(), both.size());
    settle();
    auto got = noticesOf(MM_MIM_LONGDATA);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(reinterpret_cast<LPARAM>(&link.header[0]), got[0].lParam);
    EXPECT_EQ(first, got[0].data);
    EXPECT_EQ(reinterpret_cast<LPARAM>(&link.header[1]), got[1].lParam);
    EXPECT_EQ(second, got[1].data);
    EXPECT_EQ(0, simLostMessages(0));
}

TEST_F(SimTest, LongMessageContinuesInTheNextBuffer) {
    Link link;
    link.queue(0);
    link.queue(1);
    Bytes big{0xF0, 0x2C, 0x5A, 0x42, 0x77};
    while (big.size() < 599)
        big.push_back(static_cast<uint8_t>(big.size() & 0x0F));
    big.push_back(0xF7);
    simSendRaw(0, big.data(), big.size());
    settle();
    auto got = noticesOf(MM_MIM_LONGDATA);
    ASSERT_EQ(2u, got.size());
    ASSERT_EQ(512u, got[0].data.size());
    ASSERT_EQ(88u, got[1].data.size());
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 512), got[0].data);
    EXPECT_EQ(Bytes(big.begin() + 512, big.end()), got[1].data);
    EXPECT_EQ(0, simLostMessages(0));
}

TEST_F(SimTest, PanelStyleRequeueReceivesEverything) {
    // One buffer queued at a time; the other is queued when the first comes
    // back, as the panel does. Replies back to back still all arrive.
    Link link;
    link.queue(0);
    onNotice = [&](const Notice& n) {
        if (n.message != MM_MIM_LONGDATA) return;
        link.queue(n.lParam == reinterpret_cast<LPARAM>(&link.header[0]) ? 1 : 0);
    };
    for (uint8_t item : {0x0A, 0x1E, 0x32, 0x68})
        ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x50, item})));
    ASSERT_EQ(0, simWaitIdlePumping(3000));
    onNotice = nullptr;
    auto got = noticesOf(MM_MIM_LONGDATA);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ("Profile 4", nibbleText(got[3].data, 6, 12));
    EXPECT_EQ(0, simLostMessages(0));
}

TEST_F(SimTest, MessageWithoutQueuedBufferIsLostAfterTheGraceTime) {
    Link link;
    simSendEvent(0, 0x02);
    settle();
    EXPECT_EQ(1, simLostMessages(0));
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA).empty());

    // A buffer queued within the grace time still gets the message.
    simSendEvent(0, 0x03);
    Sleep(10);
    link.queue(0);
    settle();
    ASSERT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_EQ(deviceFrame({0x61, 0x03}), noticesOf(MM_MIM_LONGDATA)[0].data);
    EXPECT_EQ(1, simLostMessages(0));
}

TEST_F(SimTest, NothingArrivesBeforeStartOrAfterStop) {
    Link link(0, 0, false);
    link.queue(0);
    simSendEvent(0, 0x05);
    settle();
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA).empty());
    EXPECT_EQ(1, simLostMessages(0));

    ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(link.in));
    simSendEvent(0, 0x05);
    settle();
    EXPECT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());

    link.queue(1);
    ASSERT_EQ(MMSYSERR_NOERROR, midiInStop(link.in));
    simSendEvent(0, 0x06);
    settle();
    EXPECT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_EQ(1, simQueuedInputBuffers(0)); // Stop keeps empty buffers queued
    EXPECT_EQ(2, simLostMessages(0));
}

TEST_F(SimTest, ShortMessagesCorruptionAndStrayBytes) {
    Link link;
    link.queue(0);
    simSendShort(0, 0x000021F1); // MTC quarter frame
    simCorruptNext(0);
    simSendEvent(0, 0x02);
    settle();
    auto data = noticesOf(MM_MIM_DATA);
    ASSERT_EQ(1u, data.size());
    EXPECT_EQ(0x21F1, data[0].lParam);
    auto broken = noticesOf(MM_MIM_LONGERROR);
    ASSERT_EQ(1u, broken.size());
    EXPECT_EQ(deviceFrame({0x61, 0x02}), broken[0].data);
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA).empty());

    // A SysEx cut short by a status byte comes back without its 0xF7.
    link.queue(1);
    const Bytes cut{0xF0, 0x2C, 0x5A, 0x42, 0x61, 0x90, 0x40, 0x7F};
    simSendRaw(0, cut.data(), cut.size());
    settle();
    ASSERT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_EQ(Bytes(cut.begin(), cut.begin() + 5), noticesOf(MM_MIM_LONGDATA)[0].data);
    ASSERT_EQ(2u, noticesOf(MM_MIM_DATA).size());
    EXPECT_EQ(0x7F4090, noticesOf(MM_MIM_DATA)[1].lParam);
}

TEST_F(SimTest, InjectedFailuresAndDelayedOutputDone) {
    HMIDIIN in = nullptr;
    simFailCall("midiInOpen", MMSYSERR_ALLOCATED, 1, 1);
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));
    EXPECT_EQ(MMSYSERR_ALLOCATED, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(nullptr, in);
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));

    simFailCall("midiInGetNumDevs", 0, 0, 0);
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(0u, midiInGetNumDevs());
    simClearFailures();
    EXPECT_EQ(1u, midiInGetNumDevs());

    Link link;
    simFailCall("midiOutLongMsg", MIDIERR_NOTREADY, 0, 0);
    EXPECT_EQ(MIDIERR_NOTREADY, link.send(deviceFrame({0x01})));
    EXPECT_EQ(MIDIERR_NOTREADY, link.send(deviceFrame({0x01})));
    EXPECT_EQ(0u, simReceivedCount(0));
    simClearFailures();

    // Header without MHDR_PREPARED.
    Bytes message = deviceFrame({0x40});
    MIDIHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(message.data());
    h.dwBufferLength = static_cast<DWORD>(message.size());
    EXPECT_EQ(MIDIERR_UNPREPARED, midiOutLongMsg(link.out, &h, sizeof h));

    // The driver keeps the header for the delay; it cannot be unprepared or
    // the port closed meanwhile.
    simSetOutputDoneDelay(40);
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(link.out, &h, sizeof h));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(link.out, &h, sizeof h));
    EXPECT_FALSE(h.dwFlags & MHDR_DONE);
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutUnprepareHeader(link.out, &h, sizeof h));
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutClose(link.out));
    ASSERT_EQ(0, simWaitIdle(2000));
    EXPECT_TRUE(h.dwFlags & MHDR_DONE);
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(link.out, &h, sizeof h));

    // midiOutReset hands a pending header back at once.
    simSetOutputDoneDelay(5000);
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(link.out, &h, sizeof h));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(link.out, &h, sizeof h));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutReset(link.out));
    EXPECT_TRUE(h.dwFlags & MHDR_DONE);
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(link.out, &h, sizeof h));
    simSetOutputDoneDelay(0);
}

TEST_F(SimTest, UnpluggedUnitVanishesAndItsHandlesStayDead) {
    auto link = std::make_unique<Link>();
    link->queue(0);
    Bytes message = deviceFrame({0x01});
    MIDIHDR prepared{};
    prepared.lpData = reinterpret_cast<LPSTR>(message.data());
    prepared.dwBufferLength = static_cast<DWORD>(message.size());
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(link->out, &prepared, sizeof prepared));
    simUnplug(0);
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(0u, midiOutGetNumDevs());
    // As after a surprise removal: every send and start is refused.
    EXPECT_EQ(MMSYSERR_NODRIVER, midiInStart(link->in));
    EXPECT_EQ(MMSYSERR_NODRIVER, midiOutLongMsg(link->out, &prepared, sizeof prepared));
    EXPECT_FALSE(prepared.dwFlags & (MHDR_INQUEUE | MHDR_DONE)); // still the program's
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(link->out, &prepared, sizeof prepared));
    EXPECT_EQ(MMSYSERR_NODRIVER, link->send(message)); // its prepare
    EXPECT_EQ(MMSYSERR_NODRIVER, midiOutShortMsg(link->out, 0x7F3C90));
    EXPECT_EQ(0u, simReceivedCount(0));
    simSendEvent(0, 0x02);
    settle();
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA).empty());

    // Back as a new device: its ports open while the dead handles are still
    // open, and closing those afterwards leaves the new ones alone.
    simReplug(0);
    EXPECT_EQ(1u, midiInGetNumDevs());
    EXPECT_EQ(MMSYSERR_NODRIVER, midiInStart(link->in));
    Link fresh;
    EXPECT_EQ(MMSYSERR_NOERROR, midiInStart(fresh.in));
    link.reset(); // resetting and closing a dead handle work
    ASSERT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA)[0].data.empty());
    EXPECT_EQ(1u, noticesOf(MM_MIM_CLOSE).size());
    EXPECT_EQ(14u, ask(fresh, deviceFrame({0x01})).size());
}

TEST_F(SimTest, DeadHandlesCanRefuseResetAndClose) {
    struct {
        int flags;
        MMRESULT inReset, inClose, outReset, outClose;
    } cases[] = {
        {0, MMSYSERR_NOERROR, MMSYSERR_NOERROR, MMSYSERR_NOERROR, MMSYSERR_NOERROR},
        // The buffer the failed reset kept holds the input open.
        {SIM_UNPLUG_IN_RESET_FAILS, MMSYSERR_NODRIVER, MIDIERR_STILLPLAYING, MMSYSERR_NOERROR,
         MMSYSERR_NOERROR},
        {SIM_UNPLUG_IN_CLOSE_FAILS, MMSYSERR_NOERROR, MMSYSERR_NODRIVER, MMSYSERR_NOERROR, MMSYSERR_NOERROR},
        {SIM_UNPLUG_OUT_RESET_FAILS | SIM_UNPLUG_OUT_CLOSE_FAILS, MMSYSERR_NOERROR, MMSYSERR_NOERROR,
         MMSYSERR_NODRIVER, MMSYSERR_NODRIVER},
    };
    EXPECT_EQ(-1, simSetUnplugFaults(5, 0));
    for (auto& c : cases) {
        SCOPED_TRACE(c.flags);
        simReset();
        ASSERT_EQ(0, simSetUnplugFaults(0, c.flags));
        Link link;
        link.queue(0);
        simUnplug(0);
        EXPECT_EQ(c.inReset, midiInReset(link.in));
        EXPECT_EQ(c.inReset != MMSYSERR_NOERROR, (link.header[0].dwFlags & MHDR_INQUEUE) != 0);
        EXPECT_EQ(MMSYSERR_NOERROR, midiInUnprepareHeader(link.in, &link.header[1], sizeof link.header[1]));
        EXPECT_EQ(c.inClose, midiInClose(link.in));
        EXPECT_EQ(c.outReset, midiOutReset(link.out));
        EXPECT_EQ(c.outClose, midiOutClose(link.out));
        settle(); // the buffers a reset handed back
        // A replugged unit opens anew whatever was left.
        simReplug(0);
        Link fresh;
        EXPECT_EQ(14u, ask(fresh, deviceFrame({0x01})).size());
        link.in = nullptr; // left to the dead driver
        link.out = nullptr;
    }
}

TEST_F(SimTest, WineHandlesAFreedHandleItsValueAgainAndALateWrite) {
    simSetWineHandles(1);
    const int misuse = simDriverMisuse();
    HMIDIIN firstIn = nullptr;
    {
        Link link;
        firstIn = link.in;
        link.queue(0);
        link.queue(1);
        // A refused close frees the handle all the same; the driver keeps both buffers.
        simFailCall("midiInReset", MMSYSERR_NODRIVER, 0, 1);
        EXPECT_EQ(MMSYSERR_NODRIVER, midiInReset(link.in));
        EXPECT_EQ(MIDIERR_STILLPLAYING, midiInClose(link.in));
        EXPECT_EQ(2, simKeptBuffers());
        EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInReset(link.in));
        EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInUnprepareHeader(link.in, &link.header[0], sizeof(MIDIHDR)));
        EXPECT_EQ(MMSYSERR_INVALHANDLE, midiInClose(link.in));
        link.in = nullptr;
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(link.out));
        link.out = nullptr;
        // The next open gets the same value; a kept header queued on it is misuse.
        Link again;
        EXPECT_EQ(firstIn, again.in);
        EXPECT_EQ(MIDIERR_STILLPLAYING, midiInAddBuffer(again.in, &link.header[0], sizeof(MIDIHDR)));
        EXPECT_EQ(misuse, simDriverMisuse());
        link.header[1].dwFlags &= ~MHDR_INQUEUE; // the program lets go of one the driver holds
        EXPECT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(again.in, &link.header[1], sizeof(MIDIHDR)));
        EXPECT_EQ(misuse + 1, simDriverMisuse());
        // Later the old driver writes into what it kept, under the reused value.
        const Bytes late = deviceFrame({0x61, 0x04});
        notices.clear();
        EXPECT_EQ(1, simWriteKeptBuffers(late.data(), late.size())); // not into the one queued anew
        EXPECT_EQ(misuse + 2, simDriverMisuse());
        pumpMessages();
        auto written = noticesOf(MM_MIM_LONGDATA);
        ASSERT_EQ(1u, written.size());
        EXPECT_EQ(reinterpret_cast<WPARAM>(firstIn), written[0].wParam);
        EXPECT_EQ(reinterpret_cast<LPARAM>(&link.header[0]), written[0].lParam);
        EXPECT_EQ(late, written[0].data);
        EXPECT_EQ(static_cast<DWORD>(MHDR_DONE), written[0].flags & (MHDR_DONE | MHDR_INQUEUE));
        EXPECT_EQ(0, simKeptBuffers());
    }
    // Off again after a reset: the values rise as before.
    simReset();
    Link windows;
    EXPECT_NE(firstIn, windows.in);
}

TEST_F(SimTest, ProtocolViolationsAndUnknownCommandsAreCounted) {
    Link link;
    const std::vector<Bytes> violations = {
        {0xF0, 0x2C, 0x5A, 0x42, 0x40, 0x00, 0xF7},                         // 0x40 with a payload
        {0xF0, 0x2C, 0x5A, 0x42, 0x01},                                     // no 0xF7
        {0xF0, 0x2C, 0x5A, 0x42, 0x44, 0x82, 0x01, 0xF7},                   // byte above 0x7F
        {0xF0, 0x2C, 0x5A, 0x43, 0x01, 0xF7},                               // wrong product tag
        {0xF0, 0x2C, 0x5A, 0x42, 0x22, 0x45, 0x45, 0xF7},                   // erase without "ER"
        {0xF0, 0x2C, 0x5A, 0x42, 0x60, 0x02, 0xF7},                         // link flag 2
        {0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x18, 0, 0, 0, 0, 0xF7}, // hour 24
    };
    for (const Bytes& m : violations)
        ASSERT_EQ(MMSYSERR_NOERROR, link.send(m));
    EXPECT_EQ(static_cast<int>(violations.size()), simProtocolViolations(0));
    EXPECT_EQ(0, simUnknownCommands(0));
    EXPECT_EQ(violations.size(), simReceivedCount(0));

    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x33})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send({0xF0, 0x41, 0x10, 0x42, 0xF7}));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutShortMsg(link.out, 0x00403C90));
    EXPECT_EQ(3, simUnknownCommands(0));

    // Commands the unit acts on without a violation.
    for (const Bytes& m :
         {deviceFrame({0x0B}), deviceFrame({0x20}), deviceFrame({0x22, 0x45, 0x52}),
          deviceFrame({0x3E, 0x03}), deviceFrame({0x60, 0x01}),
          Bytes{0xF0, 0x7F, 0x7F, 0x06, 0x4A, 0x01, 0x02, 0xF7},
          Bytes{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x21, 0x02, 0x03, 0x00, 0x00, 0xF7},
          Bytes{0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7}, Bytes{0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7}})
        ASSERT_EQ(MMSYSERR_NOERROR, link.send(m));
    EXPECT_EQ(static_cast<int>(violations.size()), simProtocolViolations(0));
    EXPECT_EQ(3, simUnknownCommands(0));
    EXPECT_EQ(1, simCommandCount(0, 0x0B));
    EXPECT_EQ(1, simCommandCount(0, 0x22));
    EXPECT_EQ(3, simGetPlayMode(0));
    EXPECT_EQ(1, simGetLinkFlag(0));
    EXPECT_EQ(1, simMmcCommandCount(0, 0x44));
    EXPECT_EQ(1, simMmcCommandCount(0, 0x4A));
}

TEST_F(SimTest, MmcReadAnswersWithTheMode) {
    Link link;
    const Bytes read{0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7};
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x0A, 0xF7}), ask(link, read));
    simSetMmcMode(0, 0x10);
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x10, 0xF7}), ask(link, read));
}

TEST_F(SimTest, FrontPanelChangesReportEvents) {
    Link link;
    link.queue(0);
    ASSERT_EQ(0, simFrontPanelSet(0, 1, 3));
    settle();
    ASSERT_EQ(1u, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_EQ(deviceFrame({0x61, 0x07}), noticesOf(MM_MIM_LONGDATA)[0].data);
    EXPECT_EQ(3, simGetParameter(0, 1));
    EXPECT_EQ(-1, simFrontPanelSet(0, 1, 9));

    link.queue(1);
    ASSERT_EQ(0, simFrontPanelSaveProfile(0));
    settle();
    EXPECT_EQ(deviceFrame({0x61, 0x08}), noticesOf(MM_MIM_LONGDATA)[1].data);
    EXPECT_EQ(3, simGetStoredParameter(0, 0, 1));

    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x58, 0x50, 0x00, 0x01})));
    EXPECT_EQ(-2, simFrontPanelSet(0, 1, 2));
    EXPECT_EQ(3, simGetParameter(0, 1));
}

TEST_F(SimTest, ErrorTextsForEveryCode) {
    char text[MAXERRORLENGTH];
    for (MMRESULT code = 0; code <= MMSYSERR_LASTERROR; ++code) {
        ASSERT_EQ(MMSYSERR_NOERROR, midiInGetErrorTextA(code, text, sizeof text)) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
    }
    for (MMRESULT code = MIDIERR_BASE; code <= MIDIERR_LASTERROR; ++code) {
        ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetErrorTextA(code, text, sizeof text)) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
    }
    EXPECT_EQ(MMSYSERR_BADERRNUM, midiInGetErrorTextA(1000, text, sizeof text));
    EXPECT_EQ(MMSYSERR_BADERRNUM, midiOutGetErrorTextA(MIDIERR_LASTERROR + 1, text, sizeof text));
    char small[16];
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetErrorTextA(MIDIERR_STILLPLAYING, small, sizeof small));
    EXPECT_EQ(15u, std::strlen(small));
}

TEST_F(SimTest, ConfigurationTextBuildsTheWorld) {
    ASSERT_EQ(0, simConfigure("units=2;serial=1234,2001;firmware=0301,7F7F7F7F;kind=0A,08;"
                              "inputs=ZEM HD A|Other In|ZEM HD B;outputs=ZEM HD A|ZEM HD B"));
    ASSERT_EQ(3u, midiInGetNumDevs());
    ASSERT_EQ(2u, midiOutGetNumDevs());
    Link second(2, 1);
    EXPECT_EQ((Bytes{0xF0, 0x2C, 0x5A, 0x42, 0x08, '2', '0', '0', '1', 0x7F, 0x7F, 0x7F, 0x7F, 0xF7}),
              ask(second, deviceFrame({0x01})));
    EXPECT_EQ(1u, simReceivedCount(1));
    EXPECT_EQ(0u, simReceivedCount(0));

    EXPECT_EQ(-1, simConfigure("units=2;serial=12345"));
    EXPECT_EQ(1u, midiInGetNumDevs()); // back to the default world
    EXPECT_EQ(-1, simConfigure("colour=blue"));
    EXPECT_EQ(-1, simConfigure("bytetime=-1"));
}

TEST_F(SimTest, ConfiguredByteTimeSetsTheWire) {
    // 20 bytes of the identity round trip at 5 ms each.
    ASSERT_EQ(0, simConfigure("bytetime=5000"));
    Link link;
    link.queue(0);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x01})));
    ASSERT_TRUE(pumpUntil(2000, [] { return !noticesOf(MM_MIM_LONGDATA).empty(); }));
    EXPECT_GE(noticesOf(MM_MIM_LONGDATA)[0].at - sent, std::chrono::milliseconds(100));
}

TEST_F(SimTest, DemoTimeCodeRunsFromTheStart) {
    ASSERT_EQ(0, simConfigure("timecode=10:20:30:00/25"));
    int h = 0, m = 0, s = 0, running = 0;
    ASSERT_EQ(0, simGetTimeCode(0, &h, &m, &s, nullptr, nullptr, &running));
    EXPECT_EQ(running, 1);
    EXPECT_EQ(h, 10);
    EXPECT_EQ(m, 20);
    EXPECT_EQ(-1, simConfigure("timecode=10:20:30/25"));

    // "now": the PC's time of day, to the second.
    SYSTEMTIME local;
    GetLocalTime(&local);
    ASSERT_EQ(0, simConfigure("timecode=now/30"));
    ASSERT_EQ(0, simGetTimeCode(0, &h, &m, &s, nullptr, nullptr, &running));
    EXPECT_EQ(running, 1);
    const int drift =
        (h * 3600 + m * 60 + s - (local.wHour * 3600 + local.wMinute * 60 + local.wSecond) + 86400) % 86400;
    EXPECT_LE(drift, 2);
    EXPECT_EQ(-1, simConfigure("timecode=now/31"));
    simReset();
}

TEST_F(SimTest, DemoOperatorWorksTheFrontPanel) {
    ASSERT_EQ(0, simConfigure("frontpanel=1"));
    int before = simGetParameter(0, 2);
    int after = before;
    for (int i = 0; i < 100 && after == before; ++i) {
        Sleep(50);
        after = simGetParameter(0, 2);
    }
    EXPECT_NE(after, before); // a new SD standard picked on the unit itself
    simReset();               // ends the operator
    int settled = simGetParameter(0, 2);
    Sleep(1300);
    EXPECT_EQ(simGetParameter(0, 2), settled);
    EXPECT_EQ(-1, simConfigure("frontpanel=0"));
}

TEST_F(SimTest, WireLogHasBothDirections) {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "zwl", 0, path);
    simSetWireLogFile(path);
    {
        Link link;
        ask(link, deviceFrame({0x01}));
        link.send(deviceFrame({0x33}));
    }
    simSetWireLogFile(nullptr);
    std::ifstream file(path);
    std::stringstream all;
    all << file.rdbuf();
    const std::string log = all.str();
    EXPECT_NE(std::string::npos, log.find("panel -> unit 0: F0 2C 5A 42 01 F7"));
    EXPECT_NE(std::string::npos, log.find("unit 0 -> panel: F0 2C 5A 42 0A 31 32 33 34 30 33 30 31 F7"));
    EXPECT_NE(std::string::npos, log.find("unknown: command 0x33"));
    DeleteFileA(path);
}

// ---- Time code ----

const Bytes kMmcPlay{0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7};
const Bytes kMmcStop{0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7};
const Bytes kMmcJam{0xF0, 0x7F, 0x7F, 0x06, 0x4A, 0x01, 0x02, 0xF7};
const Bytes kMmcRead{0xF0, 0x7F, 0x7F, 0x06, 0x42, 0x02, 0x46, 0x01, 0xF7};

Bytes locate(int rateCode, int h, int m, int s, int f = 0) {
    return {0xF0,
            0x7F,
            0x7F,
            0x06,
            0x44,
            0x06,
            0x01,
            static_cast<uint8_t>(rateCode << 5 | h),
            static_cast<uint8_t>(m),
            static_cast<uint8_t>(s),
            static_cast<uint8_t>(f),
            0x00,
            0xF7};
}

struct Label {
    int h, m, s, f, rate;
    bool operator==(const Label& o) const {
        return h == o.h && m == o.m && s == o.s && f == o.f && rate == o.rate;
    }
};

std::ostream& operator<<(std::ostream& out, const Label& l) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d rate %d", l.h, l.m, l.s, l.f, l.rate);
    return out << text;
}

// Data bytes of the MTC quarter frames received so far, in order.
std::vector<int> quarterFrames() {
    std::vector<int> data;
    for (const Notice& n : noticesOf(MM_MIM_DATA))
        if ((n.lParam & 0xFF) == 0xF1) data.push_back(static_cast<int>(n.lParam >> 8 & 0xFF));
    return data;
}

// The labels of the complete eight-piece cycles in a run of quarter frames.
std::vector<Label> cycles(const std::vector<int>& q) {
    std::vector<Label> labels;
    for (size_t i = 0; i + 8 <= q.size();) {
        bool whole = true;
        for (int p = 0; p < 8; ++p)
            whole = whole && (q[i + p] >> 4) == p;
        if (!whole) {
            ++i;
            continue;
        }
        auto v = [&](int p) { return q[i + p] & 0x0F; };
        labels.push_back(Label{v(6) | (v(7) & 1) << 4, v(4) | v(5) << 4, v(2) | v(3) << 4, v(0) | v(1) << 4,
                               v(7) >> 1 & 3});
        i += 8;
    }
    return labels;
}

Label generatorTime(int unit = 0) {
    Label l{-1, -1, -1, -1, -1};
    int running = 0;
    EXPECT_EQ(0, simGetTimeCode(unit, &l.h, &l.m, &l.s, &l.f, &l.rate, &running));
    return l;
}

bool generatorRunning(int unit = 0) {
    int running = -1;
    simGetTimeCode(unit, nullptr, nullptr, nullptr, nullptr, nullptr, &running);
    return running == 1;
}

// Manual clock: the unit's time code moves only with advance().
class SimTimeCodeTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        simUseManualClock(1);
    }
    // Moves the clock, then takes in what the generators sent.
    int advance(DWORD ms) {
        const int sent = simAdvance(ms);
        EXPECT_EQ(0, simWaitIdlePumping(5000));
        return sent;
    }
    void send(Link& link, const Bytes& message) { ASSERT_EQ(MMSYSERR_NOERROR, link.send(message)); }
};

TEST_F(SimTimeCodeTest, LocateAnswersWithAFullFrame) {
    Link link;
    // The unit announces the new position once it has located.
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x00, 0x00, 0xF7}),
              ask(link, locate(1, 0, 0, 0)));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(190));
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x02, 0x03, 0x04, 0xF7}),
              ask(link, locate(1, 1, 2, 3, 4)));
    EXPECT_EQ((Label{1, 2, 3, 4, 1}), generatorTime());
    EXPECT_FALSE(generatorRunning());

    // 29.97 drop-frame: minute 1 has no frame 00, the unit stands on frame 02.
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x40, 0x01, 0x00, 0x02, 0xF7}),
              ask(link, locate(2, 0, 1, 0, 0)));
    EXPECT_EQ((Label{0, 1, 0, 2, 2}), generatorTime());

    // Frame 25 does not exist at 25 frames per second, frame 29 does at 30.
    send(link, locate(1, 0, 0, 0, 25));
    EXPECT_EQ(1, simProtocolViolations(0));
    EXPECT_EQ((Label{0, 1, 0, 2, 2}), generatorTime());
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x77, 0x3B, 0x3B, 0x1D, 0xF7}),
              ask(link, locate(3, 23, 59, 59, 29)));
    EXPECT_EQ(1, simProtocolViolations(0));
}

TEST_F(SimTimeCodeTest, PlayAt25SendsEightQuarterFramesPerTwoFrames) {
    Link link;
    ask(link, locate(1, 1, 0, 0));
    send(link, kMmcPlay);
    EXPECT_TRUE(generatorRunning());
    EXPECT_EQ(0, advance(0));
    EXPECT_EQ(100, advance(1000));
    std::vector<int> q = quarterFrames();
    ASSERT_EQ(100u, q.size());
    for (size_t i = 0; i < q.size(); ++i)
        ASSERT_EQ(static_cast<int>(i % 8), q[i] >> 4) << "quarter frame " << i;
    EXPECT_EQ(0x72, q[7]); // hours high bit 0, rate code 1
    std::vector<Label> labels = cycles(q);
    ASSERT_EQ(12u, labels.size());
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ((Label{1, 0, 0, 2 * i, 1}), labels[i]);
    // Pieces 0 to 3 of the cycle on frame 24 ended the second.
    EXPECT_EQ((std::vector<int>{0x08, 0x11, 0x20, 0x30}), std::vector<int>(q.begin() + 96, q.end()));
    EXPECT_EQ((Label{1, 0, 1, 0, 1}), generatorTime());

    // 25 frames a second: the cycles of the next second begin on odd frames.
    EXPECT_EQ(100, advance(1000));
    q = quarterFrames();
    ASSERT_EQ(200u, q.size());
    labels = cycles(std::vector<int>(q.begin() + 100, q.end()));
    ASSERT_EQ(12u, labels.size());
    EXPECT_EQ((Label{1, 0, 1, 1, 1}), labels[0]);
    EXPECT_EQ((Label{1, 0, 1, 23, 1}), labels[11]);
    EXPECT_EQ(200, simQuarterFramesSent(0));
}

TEST_F(SimTimeCodeTest, DropFrameSkipsFramesZeroAndOneExceptEveryTenthMinute) {
    Link link;
    send(link, locate(2, 0, 0, 59, 28));
    send(link, kMmcPlay);
    EXPECT_EQ(17, advance(140)); // a quarter frame every 1001/120 ms
    std::vector<Label> labels = cycles(quarterFrames());
    ASSERT_EQ(2u, labels.size());
    EXPECT_EQ((Label{0, 0, 59, 28, 2}), labels[0]);
    EXPECT_EQ((Label{0, 1, 0, 2, 2}), labels[1]);
    EXPECT_EQ((Label{0, 1, 0, 4, 2}), generatorTime());

    notices.clear();
    send(link, locate(2, 0, 9, 59, 28));
    EXPECT_FALSE(generatorRunning());
    send(link, kMmcPlay);
    advance(140);
    labels = cycles(quarterFrames());
    ASSERT_EQ(2u, labels.size());
    EXPECT_EQ((Label{0, 9, 59, 28, 2}), labels[0]);
    EXPECT_EQ((Label{0, 10, 0, 0, 2}), labels[1]);
}

TEST_F(SimTimeCodeTest, DropFrameKeepsRealTimeOverTenMinutes) {
    // The LTC reader runs at 29.97 drop-frame; jamming shows where it is.
    ASSERT_EQ(0, simSetLtcReader(0, 0, 0, 0, 0, 2, 1));
    Link link;
    EXPECT_EQ(0, advance(60000)); // 1798.2 frames: still in minute 0, which has 1800
    send(link, kMmcJam);
    EXPECT_EQ((Label{0, 0, 59, 28, 2}), generatorTime());
    advance(60); // frame 1800 is the first of minute 1: 00:01:00;02
    send(link, kMmcJam);
    EXPECT_EQ((Label{0, 1, 0, 2, 2}), generatorTime());
    send(link, kMmcStop);
    advance(539940); // ten minutes are exactly 17982 frames
    send(link, kMmcJam);
    EXPECT_EQ((Label{0, 10, 0, 0, 2}), generatorTime());
}

TEST_F(SimTimeCodeTest, PulledDownRatesRunSlower) {
    Link link;
    struct Case {
        int rate;
        uint8_t mode; // byte 5 of command 0x3E
        Label after1000, after1001;
    };
    const Case cases[] = {
        {3, 2, {0, 0, 1, 0, 3}, {0, 0, 1, 0, 3}},  // 30
        {3, 3, {0, 0, 0, 29, 3}, {0, 0, 1, 0, 3}}, // 29.97
        {0, 2, {0, 0, 1, 0, 0}, {0, 0, 1, 0, 0}},  // 24
        {0, 3, {0, 0, 0, 23, 0}, {0, 0, 1, 0, 0}}, // 23.976
    };
    SYSTEMTIME wall{2026, 3, 5, 6, 10, 0, 0, 0};
    ASSERT_EQ(0, simSetWallClock(&wall));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate * 10 + c.mode);
        send(link, locate(c.rate, 0, 0, 0));
        send(link, deviceFrame({0x3E, c.mode}));
        send(link, kMmcPlay);
        advance(1000);
        EXPECT_EQ(c.after1000, generatorTime());
        advance(1);
        EXPECT_EQ(c.after1001, generatorTime());
        // Time code against the PC clock: a pulled-down second takes 1001 ms.
        int atPlay = 0, now = 0;
        ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
        EXPECT_EQ(c.mode == 3 ? -1 : 0, now - atPlay);
        send(link, kMmcStop);
    }
    // The MMC mode reports the pull-down in bit 4.
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x1A, 0xF7}), ask(link, kMmcRead));
    send(link, deviceFrame({0x3E, 0x02}));
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x0A, 0xF7}), ask(link, kMmcRead));
    EXPECT_EQ(0, simProtocolViolations(0));
}

TEST_F(SimTimeCodeTest, StopHoldsTheTimeCodeAndTheQuarterFrames) {
    Link link;
    send(link, locate(1, 2, 0, 0));
    send(link, kMmcPlay);
    EXPECT_EQ(20, advance(200));
    send(link, kMmcStop);
    EXPECT_FALSE(generatorRunning());
    EXPECT_EQ(0, advance(500));
    EXPECT_EQ((Label{2, 0, 0, 5, 1}), generatorTime());
    // Play goes on from there.
    send(link, kMmcPlay);
    EXPECT_EQ(8, advance(80));
    std::vector<Label> labels = cycles(quarterFrames());
    ASSERT_EQ(3u, labels.size());
    EXPECT_EQ((Label{2, 0, 0, 5, 1}), labels[2]);
}

TEST_F(SimTimeCodeTest, GeneratorCommandJamsToTheLtcReader) {
    Link link;
    send(link, locate(3, 5, 0, 0));
    ASSERT_EQ(0, simSetLtcReader(0, 10, 0, 0, 0, 1, 0));
    send(link, kMmcJam); // no LTC coming in: nothing to jam to
    EXPECT_EQ((Label{5, 0, 0, 0, 3}), generatorTime());
    EXPECT_FALSE(generatorRunning());

    ASSERT_EQ(0, simSetLtcReader(0, 10, 0, 0, 0, 1, 1));
    advance(1000);
    send(link, kMmcJam);
    EXPECT_EQ((Label{10, 0, 1, 0, 1}), generatorTime());
    EXPECT_TRUE(generatorRunning());
    EXPECT_EQ(8, advance(80));
    std::vector<Label> labels = cycles(quarterFrames());
    ASSERT_EQ(1u, labels.size());
    EXPECT_EQ((Label{10, 0, 1, 0, 1}), labels[0]);
    EXPECT_EQ(2, simMmcCommandCount(0, 0x4A));
    EXPECT_EQ(-1, simSetLtcReader(0, 10, 0, 0, 25, 1, 1));
}

TEST_F(SimTimeCodeTest, JamOffsetAgainstThePcClock) {
    Link link;
    EXPECT_EQ(-1, simTimeCodeOffset(0, nullptr, nullptr)); // no PLAY yet
    // As a jam to the PC clock does it: locate to the next second, play 20 ms before it.
    SYSTEMTIME wall{2026, 3, 5, 6, 10, 0, 0, 0};
    ASSERT_EQ(0, simSetWallClock(&wall));
    send(link, locate(1, 10, 0, 1));
    advance(980);
    send(link, kMmcPlay);
    int atPlay = 0, now = 0;
    ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
    EXPECT_EQ(20, atPlay);
    EXPECT_EQ(20, now);
    advance(1000);
    ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
    EXPECT_EQ(20, atPlay);
    EXPECT_EQ(20, now);
    send(link, kMmcStop);
    advance(500);
    ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
    EXPECT_EQ(-480, now);

    // Frames count at the real rate; across midnight the offset stays small.
    wall = SYSTEMTIME{2026, 3, 5, 6, 23, 59, 59, 990};
    ASSERT_EQ(0, simSetWallClock(&wall));
    send(link, locate(3, 0, 0, 0, 0));
    send(link, kMmcPlay);
    ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
    EXPECT_EQ(10, atPlay);
    send(link, locate(3, 23, 59, 59, 15));
    send(link, deviceFrame({0x3E, 0x03}));
    send(link, kMmcPlay);
    ASSERT_EQ(0, simTimeCodeOffset(0, &atPlay, &now));
    EXPECT_EQ(-490, atPlay); // frame 15 at 29.97 is 500.5 ms into its second
}

TEST_F(SimTest, GeneratorRunsByItselfInRealTime) {
    Link link;
    link.queue(0);
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(locate(1, 3, 0, 0)));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(kMmcPlay));
    EXPECT_TRUE(pumpUntil(3000, [] { return quarterFrames().size() >= 16; }));
    // PLAY right after LOCATE: the full frame comes first, then the quarter frames.
    ASSERT_FALSE(notices.empty());
    size_t first = 0;
    while (first < notices.size() && notices[first].message != MM_MIM_LONGDATA &&
           notices[first].message != MM_MIM_DATA)
        ++first;
    ASSERT_LT(first, notices.size());
    EXPECT_EQ(static_cast<UINT>(MM_MIM_LONGDATA), notices[first].message);
    EXPECT_EQ((Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x23, 0x00, 0x00, 0x00, 0xF7}), notices[first].data);
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(kMmcStop));
    settle();
    const std::vector<Label> labels = cycles(quarterFrames());
    ASSERT_GE(labels.size(), 2u);
    EXPECT_EQ((Label{3, 0, 0, 0, 1}), labels[0]);
    EXPECT_EQ((Label{3, 0, 0, 2, 1}), labels[1]);
    const size_t stopped = quarterFrames().size();
    Sleep(100);
    pumpMessages();
    EXPECT_EQ(stopped, quarterFrames().size());
}

// ---- Calibration extras ----

TEST_F(SimTest, CaptureTuningAndEraseEeprom) {
    Link link;
    uint16_t vcxo = 0;
    uint32_t tcxo = 0;
    ASSERT_EQ(0, simGetOscillatorWords(0, &vcxo, &tcxo));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x20})));
    Bytes words = ask(link, deviceFrame({0x50, 0x40}));
    ASSERT_EQ(23u, words.size());
    const uint16_t newVcxo = static_cast<uint16_t>(vcxo + 3);
    const uint32_t newTcxo = tcxo + 100;
    EXPECT_EQ((Bytes{static_cast<uint8_t>(newVcxo >> 12 & 15), static_cast<uint8_t>(newVcxo >> 8 & 15),
                     static_cast<uint8_t>(newVcxo >> 4 & 15), static_cast<uint8_t>(newVcxo & 15)}),
              Bytes(words.begin() + 6, words.begin() + 10));
    uint32_t reported = 0;
    for (int i = 14; i < 22; ++i)
        reported = reported << 4 | words[i];
    EXPECT_EQ(newTcxo, reported);

    // Stored values, names and profiles go back to the factory; live values stay.
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x5A, 0x48, 0x01, 0x02})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x58, 0x79, 0x00, 0x07})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x5A, 0x50, 0x00, 0x01})));
    ASSERT_EQ(0, simSetProfileName(0, 2, "Studio C"));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x44, 2, 4})));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x54})));
    ASSERT_EQ(4, simGetStoredParameter(0, 0, 2));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x22, 'E', 'R'})));
    EXPECT_EQ(0, simGetCalibration(0, 0x48, 1));
    EXPECT_EQ(0, simGetCalibration(0, 0x50, 1));
    EXPECT_EQ(7, simGetCalibration(0, 0x79, 0));
    char name[13];
    ASSERT_EQ(0, simGetProfileName(0, 2, name));
    EXPECT_STREQ("Profile 3", name);
    EXPECT_EQ(2, simGetStoredParameter(0, 0, 2));
    EXPECT_EQ(4, simGetParameter(0, 2));
    uint16_t v2 = 0;
    uint32_t t2 = 0;
    ASSERT_EQ(0, simGetOscillatorWords(0, &v2, &t2));
    EXPECT_EQ(vcxo, v2);
    EXPECT_EQ(tcxo, t2);
    EXPECT_EQ("Profile 1", nibbleText(ask(link, deviceFrame({0x50, 0x0A})), 6, 12));
    EXPECT_EQ(0, simProtocolViolations(0));
}

TEST_F(SimTest, VarispeedWordClockFrequency) {
    Link link;
    EXPECT_EQ(0, simGetWordClockMilliHertz(0));
    // 48000533 mHz: K / f = 737271813 = 0x2BF1E005.
    ASSERT_EQ(MMSYSERR_NOERROR,
              link.send(deviceFrame({0x5C, 0x02, 0x0B, 0x0F, 0x01, 0x0E, 0x00, 0x00, 0x05})));
    EXPECT_LE(std::llabs(simGetWordClockMilliHertz(0) - 48000533LL), 1LL);
    EXPECT_EQ(0x40, simGetFlags(0) & 0x40);
    // 40000000 mHz: 884736000 = 0x34BC0000, exact.
    ASSERT_EQ(MMSYSERR_NOERROR,
              link.send(deviceFrame({0x5C, 0x03, 0x04, 0x0B, 0x0C, 0x00, 0x00, 0x00, 0x00})));
    EXPECT_EQ(40000000LL, simGetWordClockMilliHertz(0));
    ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x5E})));
    EXPECT_EQ(0, simGetWordClockMilliHertz(0));
    EXPECT_EQ(0, simGetFlags(0) & 0x40);
}

// ---- Firmware update ----

// One Intel HEX record line with its checksum.
std::string hexRecord(int type, int address, const Bytes& data) {
    int sum = static_cast<int>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char cell[16];
    std::snprintf(cell, sizeof cell, ":%02X%04X%02X", static_cast<int>(data.size()), address, type);
    std::string line = cell;
    for (uint8_t b : data) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        line += cell;
        sum += b;
    }
    std::snprintf(cell, sizeof cell, "%02X", (256 - sum % 256) % 256);
    return line + cell;
}

Bytes recordMessage(const std::string& line) {
    Bytes b{0xF0, 0x2C, 0x7F};
    for (char c : line)
        b.push_back(static_cast<uint8_t>(c));
    b.push_back(0xF7);
    return b;
}

Bytes headerMessage() {
    const char header[] = "ZF030100000000000000(c)TestImage";
    static_assert(sizeof header == 33, "32 characters");
    Bytes b{0xF0, 0x2C};
    for (size_t i = 0; i < 32; ++i)
        b.push_back(static_cast<uint8_t>(header[i]));
    b.push_back(0xF7);
    return b;
}

// A small image: linear address, two data records of 16 bytes, end of file.
std::vector<std::string> smallImage() {
    Bytes data(16);
    for (int i = 0; i < 16; ++i)
        data[i] = static_cast<uint8_t>(i * 17);
    return {hexRecord(4, 0, {0x00, 0x01}), hexRecord(0, 0x0000, data), hexRecord(0, 0x0010, data),
            ":00000001FF"};
}

// The unit starts with firmware 0300 and identity report 0x08.
const Bytes kErasedIdentity{0xF0, 0x2C, 0x5A, 0x42, 0x08, '1', '2', '3', '4', 0x7F, 0x7F, 0x7F, 0x7F, 0xF7};
const Bytes kUpdatedIdentity{0xF0, 0x2C, 0x5A, 0x42, 0x0A, '1', '2', '3', '4', '0', '3', '0', '1', 0xF7};

class SimFirmwareTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        simSetIdentity(0, "1234", "0300", 0x08);
        link = std::make_unique<Link>();
    }
    void TearDown() override {
        link.reset();
        SimTest::TearDown();
    }
    // Command 0x0B, report 0x0C, the ports closed and opened again.
    void prepareAndReconnect() {
        EXPECT_EQ(deviceFrame({0x0C}), ask(*link, deviceFrame({0x0B})));
        EXPECT_EQ(SIM_FIRMWARE_PREPARED, simFirmwareState(0));
        link.reset();
        EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));
        link = std::make_unique<Link>();
    }
    void send(const Bytes& message) { ASSERT_EQ(MMSYSERR_NOERROR, link->send(message)); }
    void sendImage(const std::vector<std::string>& records) {
        send(headerMessage());
        for (const std::string& r : records)
            send(recordMessage(r));
    }
    std::unique_ptr<Link> link;
};

TEST_F(SimFirmwareTest, FullTransferGivesFirmware301) {
    prepareAndReconnect();
    EXPECT_EQ(kErasedIdentity, ask(*link, deviceFrame({0x01})));
    // Without firmware nothing else is answered.
    const size_t replies = noticesOf(MM_MIM_LONGDATA).size();
    send(deviceFrame({0x40}));
    send(kMmcRead);
    settle();
    EXPECT_EQ(replies, noticesOf(MM_MIM_LONGDATA).size());
    EXPECT_EQ(0, simLostMessages(0));

    sendImage(smallImage());
    int records = -1, dataBytes = -1, errors = -1;
    EXPECT_EQ(1, simFirmwareStats(0, &records, &dataBytes, &errors));
    EXPECT_EQ(4, records);
    EXPECT_EQ(32, dataBytes);
    EXPECT_EQ(0, errors);
    EXPECT_EQ(SIM_FIRMWARE_RUNS, simFirmwareState(0));
    EXPECT_EQ(kUpdatedIdentity, ask(*link, deviceFrame({0x01})));
    EXPECT_EQ(27u, ask(*link, deviceFrame({0x40})).size());
    EXPECT_EQ(0, simProtocolViolations(0));
    EXPECT_EQ(0, simUnknownCommands(0));
    EXPECT_EQ(1, simCommandCount(0, 0x0B));
}

TEST_F(SimFirmwareTest, BadRecordsLeaveItErased) {
    prepareAndReconnect();
    std::vector<std::string> image = smallImage();
    std::string bad = image[1];
    bad.back() = bad.back() == '0' ? '1' : '0'; // checksum off by one
    image[1] = bad;
    sendImage(image);
    int records = 0, errors = 0;
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, &errors));
    EXPECT_EQ(4, records);
    EXPECT_EQ(1, errors);
    EXPECT_EQ(kErasedIdentity, ask(*link, deviceFrame({0x01})));
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));

    // Each kind of broken record counts; none is a protocol violation.
    std::string lower = smallImage()[1];
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    sendImage({lower, smallImage()[1].substr(1), smallImage()[1] + "0", ":0200000000FE", hexRecord(6, 0, {}),
               ":00000001FF"});
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, &errors));
    EXPECT_EQ(6, records);
    EXPECT_EQ(5, errors);
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));

    // Without the end-of-file record the image is not complete; it completes
    // the transfer when it comes, and records after it are errors.
    sendImage({smallImage()[0], smallImage()[1]});
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));
    send(recordMessage(":00000001FF"));
    EXPECT_EQ(SIM_FIRMWARE_RUNS, simFirmwareState(0));
    send(recordMessage(smallImage()[2]));
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, &errors));
    EXPECT_EQ(4, records);
    EXPECT_EQ(1, errors);
    EXPECT_EQ(0, simProtocolViolations(0));

    // A loader that rejects a sound record (injected) leaves it erased too.
    EXPECT_EQ(-1, simSetFirmwareFailure(0, SIM_FIRMWARE_REJECT_RECORD, 0));
    EXPECT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_REJECT_RECORD, 2));
    sendImage(smallImage());
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, &errors));
    EXPECT_EQ(4, records);
    EXPECT_EQ(1, errors);
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));
}

TEST_F(SimFirmwareTest, PortsClosedBeforeTheEndLeaveItErased) {
    prepareAndReconnect();
    const std::vector<std::string> image = smallImage();
    send(headerMessage());
    send(recordMessage(image[0]));
    send(recordMessage(image[1]));
    link.reset(); // closed and opened again
    link = std::make_unique<Link>();
    send(recordMessage(image[2]));
    send(recordMessage(image[3]));
    EXPECT_EQ(kErasedIdentity, ask(*link, deviceFrame({0x01})));
    // A new transfer from the header on succeeds.
    sendImage(image);
    EXPECT_EQ(kUpdatedIdentity, ask(*link, deviceFrame({0x01})));
}

TEST_F(SimFirmwareTest, SilentUnitTakesTheImageOnOpenPorts) {
    ASSERT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_SILENT, 0));
    send(deviceFrame({0x0B}));
    settle();
    EXPECT_EQ(0, simLostMessages(0)); // a reply would have found no buffer
    EXPECT_EQ(SIM_FIRMWARE_RUNS, simFirmwareState(0));
    sendImage(smallImage());
    EXPECT_EQ(kUpdatedIdentity, ask(*link, deviceFrame({0x01})));
    EXPECT_EQ(0, simProtocolViolations(0));
}

TEST_F(SimFirmwareTest, UnitVanishesDuringTheEraseWait) {
    ASSERT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AT_ERASE, 0));
    EXPECT_EQ(deviceFrame({0x0C}), ask(*link, deviceFrame({0x0B})));
    EXPECT_EQ(1u, midiInGetNumDevs());
    link.reset();
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(0u, midiOutGetNumDevs());
    simReplug(0);
    link = std::make_unique<Link>();
    EXPECT_EQ(kErasedIdentity.size(), ask(*link, deviceFrame({0x01})).size());
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));
}

TEST_F(SimFirmwareTest, UnitVanishesOnTheBeginCommand) {
    ASSERT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AT_BEGIN, 0));
    link->queue(0);
    send(deviceFrame({0x0B})); // taken, never answered
    settle();
    EXPECT_TRUE(noticesOf(MM_MIM_LONGDATA).empty());
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(MMSYSERR_NODRIVER, link->send(headerMessage()));
    EXPECT_EQ(SIM_FIRMWARE_RUNS, simFirmwareState(0)); // nothing was prepared or erased
}

TEST_F(SimFirmwareTest, UnitVanishesAfterTheHeader) {
    ASSERT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AFTER_RECORDS, 0));
    prepareAndReconnect();
    send(headerMessage());
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(MMSYSERR_NODRIVER, link->send(recordMessage(smallImage()[0])));
    int records = -1;
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, nullptr));
    EXPECT_EQ(0, records);
}

TEST_F(SimFirmwareTest, UnitVanishesAfterRecords) {
    ASSERT_EQ(0, simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AFTER_RECORDS, 2));
    EXPECT_EQ(-1, simSetFirmwareFailure(0, SIM_FIRMWARE_VANISH_AFTER_RECORDS, -1));
    prepareAndReconnect();
    const std::vector<std::string> image = smallImage();
    send(headerMessage());
    send(recordMessage(image[0]));
    send(recordMessage(image[1]));
    EXPECT_EQ(MMSYSERR_NODRIVER, link->send(recordMessage(image[2]))); // gone
    int records = 0;
    EXPECT_EQ(1, simFirmwareStats(0, &records, nullptr, nullptr));
    EXPECT_EQ(2, records);
    EXPECT_EQ(0u, midiInGetNumDevs());
    EXPECT_EQ(MMSYSERR_NODRIVER, midiInStart(link->in));
    link.reset();
    simReplug(0);
    link = std::make_unique<Link>();
    EXPECT_EQ(kErasedIdentity, ask(*link, deviceFrame({0x01})));
}

TEST_F(SimTest, OutputBacklogIsDroppedWhenThePortCloses) {
    // 100 messages of 300 bytes: almost ten seconds on the wire.
    auto link = std::make_unique<Link>();
    const Bytes record = recordMessage(":" + std::string(295, '0'));
    ASSERT_EQ(300u, record.size());
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(MMSYSERR_NOERROR, link->send(record));
    link.reset();
    link = std::make_unique<Link>();
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(14u, ask(*link, deviceFrame({0x01})).size());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1500));
    EXPECT_EQ(0, simProtocolViolations(0));
}

TEST_F(SimTest, ConfigurationForTheDemo) {
    ASSERT_EQ(0, simConfigure("firmware=7F7F7F7F;fwfailure=silent;ltc=10:00:00:00/25"));
    EXPECT_EQ(SIM_FIRMWARE_ERASED, simFirmwareState(0));
    {
        Link link;
        ASSERT_EQ(MMSYSERR_NOERROR, link.send(deviceFrame({0x0B})));
        settle();
        EXPECT_EQ(0, simLostMessages(0)); // not answered
    }
    simSetIdentity(0, "1234", "0301", 0x0A);
    {
        Link link;
        ASSERT_EQ(MMSYSERR_NOERROR, link.send(kMmcJam));
        EXPECT_TRUE(generatorRunning());
        EXPECT_EQ(10, generatorTime().h);
    }
    ASSERT_EQ(0, simConfigure("fwfailure=vanish-after-3;ltc=-"));
    ASSERT_EQ(0, simConfigure("fwfailure=vanish-after-0"));
    ASSERT_EQ(0, simConfigure("fwfailure=vanish-begin"));
    ASSERT_EQ(0, simConfigure("fwfailure=reject-1"));
    EXPECT_EQ(-1, simConfigure("fwfailure=reject-0"));
    EXPECT_EQ(-1, simConfigure("fwfailure=vanish-after-x"));
    EXPECT_EQ(-1, simConfigure("ltc=10:00:00:25/25"));
    EXPECT_EQ(-1, simConfigure("ltc=10:00:00:00/26"));
}

} // namespace
