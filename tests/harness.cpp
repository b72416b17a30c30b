// Test harness for MainPanel in the test process.
#include "harness.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "core/clock.h"
#include "app/main_panel.h"
#include "core/panel.h"
#include "core/resource.h"
#include "firmware/update.h"
#include "sim/sim_control.h"

namespace {

SYSTEMTIME testClock{2026, 3, 6, 7, 9, 5, 2, 0};

std::string privateLocalAppData() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "zembrax-panel-tests-" + std::to_string(GetCurrentProcessId());
}

class PrivateLocalAppData : public ::testing::Environment {
  public:
    void SetUp() override {
        std::filesystem::create_directories(localAppData());
        SetEnvironmentVariableA("LOCALAPPDATA", localAppData().c_str());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(localAppData(), ignored);
    }
};

const ::testing::Environment* const privateLocalAppDataEnvironment =
    ::testing::AddGlobalTestEnvironment(new PrivateLocalAppData);

// Every test starts without log files: a file another test left with a later
// date (or the shipped program's, by the real clock) would tell the panel
// that its clock is not to be trusted.
class FreshLogFolder : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        std::error_code ignored;
        std::filesystem::remove_all(localAppData() + "\\zembrax-panel", ignored);
    }
};

const bool freshLogFolderListening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshLogFolder);
    return true;
}();

void WINAPI readTestClock(LPSYSTEMTIME time) {
    *time = testClock;
}

} // namespace

std::string localAppData() {
    static const std::string folder = privateLocalAppData();
    return folder;
}

HWND openPanel(const char* argumentText) {
    simReset();
    return reopenPanel(argumentText);
}

HWND reopenPanel(const char* argumentText) {
    resetPanelState();
    localTimeSource = readTestClock;
    testClock = SYSTEMTIME{2026, 3, 6, 7, 9, 5, 2, 0};
    panel.instance = GetModuleHandleA(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    copyArgumentText(argumentText);
    HWND window = CreateDialogParamA(panel.instance, MAKEINTRESOURCEA(IDD_MAIN_PANEL), nullptr, MainPanel, 0);
    pumpMessages();
    return window;
}

namespace {

struct BoxSearch {
    HWND panel;
    HWND found;
};

// A visible dialog of the panel's thread other than the panel: a message box
// has the dialog class whatever its owner.
BOOL CALLBACK findBox(HWND candidate, LPARAM lParam) {
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    char className[32] = {};
    GetClassNameA(candidate, className, sizeof className);
    if (candidate != search->panel && std::string(className) == "#32770" && IsWindowVisible(candidate)) {
        search->found = candidate;
        return FALSE;
    }
    return TRUE;
}

// What a box shows: its owner, caption and message text.
MessageBoxSeen readBox(HWND box) {
    MessageBoxSeen seen;
    seen.found = true;
    seen.owner = GetWindow(box, GW_OWNER);
    char text[4096] = {};
    GetWindowTextA(box, text, sizeof text);
    seen.caption = text;
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text); // the box's message text
    seen.text = text;
    return seen;
}

} // namespace

MessageBoxSeen answerMessageBox(HWND owner, int button, const std::function<void()>& action) {
    // A box that does not go when answered is closed harder after 5 s; an
    // action that still has not returned after 15 s ends the test program
    // with a failure instead of hanging the suite.
    constexpr DWORD kCloseHarderMs = 5000;
    constexpr DWORD kGiveUpMs = 15000;
    MessageBoxSeen seen;
    std::atomic<bool> over{false};
    const DWORD thread = GetWindowThreadProcessId(owner, nullptr);
    std::thread reader([&] {
        const DWORD start = GetTickCount();
        while (!over) {
            BoxSearch search{owner, nullptr};
            EnumThreadWindows(thread, findBox, reinterpret_cast<LPARAM>(&search));
            const DWORD spent = GetTickCount() - start;
            if (search.found && !seen.found) {
                seen = readBox(search.found);
                PostMessageA(search.found, WM_COMMAND, button, 0);
            } else if (search.found && spent > kCloseHarderMs) {
                PostMessageA(search.found, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(search.found, WM_CLOSE, 0, 0);
            }
            if (spent > kGiveUpMs) {
                std::fprintf(stderr, "a message box action did not return within %lu ms\n",
                             static_cast<unsigned long>(kGiveUpMs));
                std::fflush(stderr);
                std::_Exit(1);
            }
            Sleep(10);
        }
    });
    action();
    over = true;
    reader.join();
    return seen;
}

namespace {

std::vector<uint8_t> testImage;

} // namespace

std::string carriedImage() {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, "FirmwareFile", "BINTYPE");
    const char* data = static_cast<const char*>(LockResource(LoadResource(self, found)));
    return std::string(data, SizeofResource(self, found));
}

void useFirmwareImage(const std::string& text) {
    testImage.assign(text.begin(), text.end());
    panel.firmwareResource = reinterpret_cast<HGLOBAL>(1); // opened: the update takes it as it is
    panel.firmwareImage = testImage.data();
    panel.firmwareSize = testImage.size();
}

std::vector<MessageBoxSeen> answerMessageBoxes(HWND owner, const std::vector<int>& buttons,
                                               const std::function<void()>& action,
                                               const std::function<void(size_t)>& beforeAnswer) {
    std::vector<MessageBoxSeen> seen;
    std::atomic<bool> over{false};
    const DWORD thread = GetWindowThreadProcessId(owner, nullptr);
    std::thread reader([&] {
        HWND answered = nullptr; // until it is gone: a new box may get its handle
        while (!over) {
            Sleep(10);
            if (answered && IsWindow(answered)) continue;
            answered = nullptr;
            BoxSearch search{owner, nullptr};
            EnumThreadWindows(thread, findBox, reinterpret_cast<LPARAM>(&search));
            if (!search.found || !IsWindowVisible(search.found)) continue;
            seen.push_back(readBox(search.found));
            if (beforeAnswer) beforeAnswer(seen.size() - 1);
            int button = buttons.empty() ? IDOK : buttons[std::min(seen.size(), buttons.size()) - 1];
            PostMessageA(search.found, WM_COMMAND, button, 0);
            answered = search.found;
        }
    });
    action();
    over = true;
    reader.join();
    return seen;
}

void closePanel(HWND window) {
    if (panel.firmwareImage == testImage.data()) { // the test's image is no resource to free
        panel.firmwareResource = nullptr;
        panel.firmwareImage = nullptr;
    }
    if (!IsWindow(window)) return;
    if (updateNeedsTheUnit())
        answerMessageBox(window, IDYES, [&] { SendMessageA(window, WM_CLOSE, 0, 0); });
    else
        SendMessageA(window, WM_CLOSE, 0, 0);
    DestroyWindow(window);
    pumpMessages();
}

void pumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_TIMER) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool pumpUntil(DWORD limitMs, const std::function<bool()>& done) {
    const DWORD start = GetTickCount();
    for (;;) {
        pumpMessages();
        if (done()) return true;
        if (GetTickCount() - start >= limitMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void tick(HWND window, UINT_PTR timer) {
    SendMessageA(window, WM_TIMER, timer, 0);
    pumpMessages();
}

void command(HWND window, int id, int code) {
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    pumpMessages();
}

void setClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    testClock = SYSTEMTIME{year, month, 0, day, hour, minute, second, ms};
}

std::vector<std::string> listEntries(HWND list) {
    std::vector<std::string> entries;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageA(list, LB_GETTEXTLEN, i, 0);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        entries.push_back(text);
    }
    return entries;
}

std::vector<std::string> logLines(HWND window) {
    return listEntries(GetDlgItem(window, IDC_LOG));
}

std::string besideTestProgram(const char* relative) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + relative;
}

HWND waitForWindowOf(DWORD processId, bool (*matches)(HWND window)) {
    struct Search {
        DWORD processId;
        bool (*matches)(HWND);
        HWND found;
    } search{processId, matches, nullptr};
    auto find = [](HWND window, LPARAM lParam) -> BOOL {
        auto* search = reinterpret_cast<Search*>(lParam);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search->processId || !search->matches(window)) return TRUE;
        search->found = window;
        return FALSE;
    };
    for (int i = 0; i < 400 && !search.found; ++i) {
        EnumWindows(find, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(50);
    }
    return search.found;
}

PROCESS_INFORMATION startProgram(const std::string& exe, const std::string& arguments) {
    std::string commandLine = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return PROCESS_INFORMATION{};
    WaitForInputIdle(process.hProcess, 20000);
    return process;
}

HWND waitForPanelOf(DWORD processId) {
    return waitForWindowOf(processId,
                           [](HWND window) { return windowText(window) == "Kermaveld zembrax HD  3.0"; });
}

std::vector<int> controlsOutsideClientArea(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    std::vector<int> outside;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT area, inside;
        GetWindowRect(child, &area);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&area), 2);
        IntersectRect(&inside, &area, &client);
        if (IsWindowVisible(child) && !EqualRect(&inside, &area)) outside.push_back(GetDlgCtrlID(child));
    }
    return outside;
}

std::string windowText(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string controlText(HWND window, int id) {
    return windowText(GetDlgItem(window, id));
}

int selection(HWND window, int id) {
    return static_cast<int>(SendDlgItemMessageA(window, id, LB_GETCURSEL, 0, 0));
}

bool isChecked(HWND window, int id) {
    return IsDlgButtonChecked(window, id) == BST_CHECKED;
}

bool isShown(HWND window, int id) {
    return (GetWindowLongA(GetDlgItem(window, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

bool timerRunning(HWND window, UINT_PTR timer, UINT period) {
    if (!KillTimer(window, timer)) return false;
    SetTimer(window, timer, period, nullptr);
    return true;
}

bool runMessageLoop(DWORD limitMs, const std::function<bool()>& done) {
    return runMessageLoop(limitMs, done, [] {});
}

bool runMessageLoop(DWORD limitMs, const std::function<bool()>& done, const std::function<void()>& watch) {
    // A thread timer wakes GetMessage, so the limit holds while nothing comes.
    UINT_PTR wake = SetTimer(nullptr, 0, 50, nullptr);
    const DWORD start = GetTickCount();
    bool reached = done();
    while (!reached && GetTickCount() - start < limitMs) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        watch();
        reached = done();
    }
    KillTimer(nullptr, wake);
    return reached;
}

namespace {

HWND recordedWindow;
UINT recordedMessage;
std::vector<SentMessage>* recording;

LRESULT CALLBACK recordSentMessage(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && recording && call->hwnd == recordedWindow && call->message == recordedMessage)
        recording->push_back({call->wParam, call->lParam});
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

std::vector<SentMessage> recordSent(HWND window, UINT message, const std::function<void()>& action) {
    std::vector<SentMessage> seen;
    recordedWindow = window;
    recordedMessage = message;
    recording = &seen;
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, recordSentMessage, nullptr, GetCurrentThreadId());
    action();
    UnhookWindowsHookEx(hook);
    recording = nullptr;
    return seen;
}

bool logHas(HWND window, const std::string& line) {
    for (const std::string& l : logLines(window))
        if (l == line) return true;
    return false;
}

bool logContains(HWND window, const std::string& part) {
    for (const std::string& l : logLines(window))
        if (l.find(part) != std::string::npos) return true;
    return false;
}

Bytes deviceFrame(std::initializer_list<uint8_t> body) {
    Bytes frame = {0xF0, 0x2C, 0x5A, 0x42};
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(0xF7);
    return frame;
}

void deliver() {
    // Pumps while the unit still has something on the wire, so that every
    // message finds a queued buffer, then handles what is left.
    if (simWaitIdlePumping(5000) != 0)
        ADD_FAILURE() << "the simulated unit did not finish delivering within 5 s";
    pumpMessages();
}

std::vector<Bytes> sent(int unit) {
    std::vector<Bytes> messages;
    size_t count = simReceivedCount(unit);
    for (size_t i = 0; i < count; ++i) {
        Bytes message(4096);
        message.resize(simReceived(unit, i, message.data(), message.size()));
        messages.push_back(message);
    }
    return messages;
}

void clearSent(int unit) {
    simClearReceived(unit);
}

void connectAndIdentify(HWND window) {
    command(window, IDC_CONNECT, BN_CLICKED);
    deliver();
}

void runRequestSequence(HWND window) {
    for (int step = 0; step < 12; ++step) {
        tick(window, 7);
        deliver();
    }
}

bool nextRecord(HWND window) {
    MSG msg;
    if (!PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
        if (panel.updateState != UpdatePhase::Records || !timerRunning(window, kTimerUpdate, 1)) return false;
        SendMessageA(window, WM_TIMER, kTimerUpdate, 0);
        if (!PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) return false;
    }
    DispatchMessageA(&msg);
    return true;
}

void driveUpdate(HWND window) {
    auto running = [] {
        return panel.updateState != UpdatePhase::Idle && panel.updateState != UpdatePhase::Done;
    };
    for (int guard = 0; guard < 100000 && running(); ++guard) {
        deliver();
        if (!running()) break;
        if (timerRunning(window, kTimerProgress, 40))
            tick(window, kTimerProgress);
        else if (!nextRecord(window))
            tick(window, kTimerUpdate);
    }
    deliver();
}

void unitSends(const Bytes& message, int unit) {
    simSendRaw(unit, message.data(), message.size());
    deliver();
}

void ConnectedPanel::SetUp() {
    window = openPanel();
    connectAndIdentify(window);
    runRequestSequence(window);
    clearSent();
}

void ConnectedPanel::TearDown() {
    closePanel(window);
    EXPECT_EQ(simProtocolViolations(0), 0) << "the panel broke the protocol";
}

std::string errorLine(unsigned site, MMRESULT code) {
    // The line the panel must write: "ID <site> mmResult <code> <text>" and a
    // line feed, with WinMM's text of the code as it reads on Windows (input
    // and output side alike). Written out here, not asked of WinMM, so that a
    // panel that formats or fetches the text wrongly cannot agree by accident.
    static const std::map<MMRESULT, std::string> texts = {
        {MMSYSERR_ERROR, "Undefined external error."},
        {MMSYSERR_BADDEVICEID, "A device ID has been used that is out of range for your system."},
        {MMSYSERR_NOTENABLED, "The driver was not enabled."},
        {MMSYSERR_ALLOCATED,
         "The specified device is already in use. Wait until it is free, and then try again."},
        {MMSYSERR_INVALHANDLE, "The specified device handle is invalid."},
        {MMSYSERR_NODRIVER, "There is no driver installed on your system."},
        {MMSYSERR_NOMEM,
         "Not enough memory available for this task. Quit one or more applications to increase "
         "available memory, and then try again."},
        {MMSYSERR_INVALPARAM, "An invalid parameter was passed to a system function."},
        {MIDIERR_UNPREPARED, "The header has not been prepared. Use the Prepare function to prepare the "
                             "header, and then try again."},
        {MIDIERR_STILLPLAYING,
         "Cannot perform this operation while media data is still playing. Reset the device, "
         "or wait until the data is finished playing."},
        {MIDIERR_NOTREADY,
         "The port is transmitting data to the device. Wait until the data has been transmitted, "
         "and then try again."},
        {MIDIERR_NODEVICE,
         "The current MIDI Mapper setup refers to a MIDI device that is not installed on the "
         "system."},
    };
    auto text = texts.find(code);
    if (text == texts.end()) {
        ADD_FAILURE() << "errorLine: no text written down for result code " << code;
        return "";
    }
    return "ID " + std::to_string(site) + " mmResult " + std::to_string(code) + " " + text->second + "\n";
}
