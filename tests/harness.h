// Test harness: runs MainPanel from the real dialog template inside the test
// process, pumps its messages (without WM_TIMER: tests send timer ticks
// themselves), sets the clock, and reads controls back.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Starts from a fresh-start state (the simulated unit too) and creates MainPanel with the given
// argument text, as the program would after its entry.
HWND openPanel(const char* argumentText = "");

// The same as a new start of the program with the simulated unit left as it
// is (still plugged in, keeping what it was told).
HWND reopenPanel(const char* argumentText = "");

// WM_CLOSE as the caption's close button sends it, then the window is destroyed.
// During a firmware update the panel asks first; the question is answered Yes.
void closePanel(HWND window);

// Runs `action` while another thread waits for a message box of `owner`'s
// thread, reads it and closes it with `button`. Returns the box's owner,
// caption and text (found false when none appeared while the action ran). A
// box that stays is closed harder after 5 s; an action that has not returned
// after 15 s ends the test program with a failure instead of a hang.
struct MessageBoxSeen {
    std::string caption;
    std::string text;
    bool found = false;
    HWND owner = nullptr; // the box's owner window
};
MessageBoxSeen answerMessageBox(HWND owner, int button, const std::function<void()>& action);

// The same for every box that appears while `action` runs: the n-th is
// answered with buttons[n] (the last button again for any after them), after
// `beforeAnswer(n)` if given. Returns the boxes in order.
std::vector<MessageBoxSeen> answerMessageBoxes(HWND owner, const std::vector<int>& buttons,
                                               const std::function<void()>& action,
                                               const std::function<void(size_t)>& beforeAnswer = {});

// Delivers every queued message except WM_TIMER, which is dropped.
void pumpMessages();

// pumpMessages until `done` holds (checked every few milliseconds) or
// `limitMs` has passed; returns whether it held. Unlike deliver(), it does not
// wait for output headers that the simulated driver still holds.
bool pumpUntil(DWORD limitMs, const std::function<bool()>& done);

// The port layer's error line for a failed WinMM call at a site.
std::string errorLine(unsigned site, MMRESULT code);

// Sends one WM_TIMER tick to the panel.
void tick(HWND window, UINT_PTR timer);

// A WM_COMMAND as a control sends it.
void command(HWND window, int id, int code = 0);

// The folder that stands in for %LOCALAPPDATA% for the whole test run (the
// programs the tests start inherit it), so that no test writes into a real
// profile. It is deleted when the run ends.
std::string localAppData();

// A file in the test program's own folder.
std::string besideTestProgram(const char* relative);

// The first top-level window of another process that `matches`, looked for
// every 50 ms for up to 20 s; null when none appeared.
HWND waitForWindowOf(DWORD processId, bool (*matches)(HWND window));

// Starts a program with an argument text; an empty record when it did not start.
PROCESS_INFORMATION startProgram(const std::string& exe, const std::string& arguments);

// The window of a panel that another process runs (by its caption), or null after 20 s.
HWND waitForPanelOf(DWORD processId);

// The identifiers of a window's visible controls that do not lie wholly
// inside its client area. Works across processes.
std::vector<int> controlsOutsideClientArea(HWND window);

// Fixes the local time that the panel reads until the next setClock or openPanel.
void setClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms = 0);

std::vector<std::string> listEntries(HWND list);
std::vector<std::string> logLines(HWND window);
std::string windowText(HWND window);
std::string controlText(HWND window, int id);
int selection(HWND window, int id);
bool isChecked(HWND window, int id);
bool isShown(HWND window, int id);

// True if the panel has the timer running (checked by killing and restarting it).
bool timerRunning(HWND window, UINT_PTR timer, UINT period);

// A real message loop: GetMessage and DispatchMessage, WM_TIMER included, so
// the panel's own timers drive it. Runs until `done` returns true (checked
// after every message and at least every 50 ms) or `limitMs` has passed.
// Returns whether `done` was reached.
bool runMessageLoop(DWORD limitMs, const std::function<bool()>& done);
// The same, running `watch` after every message.
bool runMessageLoop(DWORD limitMs, const std::function<bool()>& done, const std::function<void()>& watch);

// The messages `message` that `window` received by SendMessage (its own
// included) while `action` ran, in order: a hook on this thread sees them
// whatever window has the focus or the foreground.
struct SentMessage {
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<SentMessage> recordSent(HWND window, UINT message, const std::function<void()>& action);

// Whether a line of the log is `line`, or contains `part`.
bool logHas(HWND window, const std::string& line);
bool logContains(HWND window, const std::string& part);

// ---- With the simulated unit ----

using Bytes = std::vector<uint8_t>;

// A message of the unit's own protocol: F0 2C 5A 42, the command or report
// byte and its payload, F7.
Bytes deviceFrame(std::initializer_list<uint8_t> body);

// The panel's second line at start: the kind of firmware image this test
// program carries (the stand-in), at the clock openPanel sets.
inline const std::string kImageKindLine =
    "2026.03.07 09:05:02 firmware image: stand-in test image, never to be sent to a real unit";

// Waits until the simulated unit has delivered what it had to send, then
// handles the messages it posted. A unit that does not become idle within
// its time-out fails the test.
void deliver();

// Messages the panel sent to a unit since the last clearSent.
std::vector<Bytes> sent(int unit = 0);
void clearSent(int unit = 0);

// Connect, and let the unit answer the identity request.
void connectAndIdentify(HWND window);

// The request sequence after identification: timer 7 ticks with the unit's
// answers delivered in between.
void runRequestSequence(HWND window);

// Firmware update by hand: handles the next record command, the posted one
// or, while the record loop takes a breath on timer 2, that tick first.
// False when no record is due.
bool nextRecord(HWND window);

// Drives a running firmware update to its end (state 7, or 0 when it fails):
// timer ticks in place of time, the unit's answers delivered in between.
// The unit's answer to the check after the last record comes only after the
// image has crossed the wire: give the unit a fast wire (simSetByteTime).
void driveUpdate(HWND window);

// The firmware image this test program carries (the stand-in).
std::string carriedImage();

// The update sends `text` instead of the carried image until the window
// closes (closePanel) or the panel is opened again.
void useFirmwareImage(const std::string& text);

// The unit sends these bytes; they are delivered and handled.
void unitSends(const Bytes& message, int unit = 0);

// A panel connected to the simulated unit, its request sequence run, the
// record of sent messages cleared. Afterwards the unit must have seen no
// violation of its protocol.
class ConnectedPanel : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void receive(const Bytes& message) { unitSends(message); }
    HWND window = nullptr;
};
