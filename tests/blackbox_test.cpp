// The shipped program from the outside: started with switches, read through
// cross-process window messages, closed as the caption's close button does.
// It is the product build, which carries no firmware image here.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/resource.h"
#include "harness.h"

namespace {

class Program : public ::testing::Test {
  protected:
    // simulatedUnit: the ZEMBRAX_SIM configuration the program's simulated unit reads at its start.
    HWND start(const std::string& exe, const std::string& arguments, const char* simulatedUnit = nullptr) {
        if (simulatedUnit) SetEnvironmentVariableA("ZEMBRAX_SIM", simulatedUnit);
        process = startProgram(exe, arguments);
        if (simulatedUnit) SetEnvironmentVariableA("ZEMBRAX_SIM", nullptr);
        return process.hProcess ? waitForPanelOf(process.dwProcessId) : nullptr;
    }
    void TearDown() override {
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, 5000); // gone, so the next start finds no panel
            }
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
    // Across processes the list box hands its text over as UTF-16.
    std::string logLine(HWND window, int index) {
        HWND log = GetDlgItem(window, IDC_LOG);
        LRESULT length = SendMessageW(log, LB_GETTEXTLEN, index, 0);
        if (length == LB_ERR) return "<none>";
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(log, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        return std::string(text.begin(), text.end()); // the log is ASCII
    }
    // Waits up to 15 s for a control's text to contain `part`; returns the text.
    static std::string waitForText(HWND control, const std::string& part) {
        std::string shown;
        for (int i = 0; i < 150 && shown.find(part) == std::string::npos; ++i) {
            Sleep(100);
            shown = text(control);
        }
        return shown;
    }
    static std::string text(HWND control) {
        wchar_t buffer[256] = {};
        GetWindowTextW(control, buffer, 256);
        std::wstring wide(buffer);
        return std::string(wide.begin(), wide.end());
    }
    DWORD closeAndWait(HWND window) {
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
        DWORD exitCode = 12345;
        GetExitCodeProcess(process.hProcess, &exitCode);
        return exitCode;
    }
    PROCESS_INFORMATION process{};
};

TEST_F(Program, StartsConnectsToTheUnitAndClosesCleanly) {
    HWND window = start(besideTestProgram("blackbox\\zembrax-panel.exe"), "-A -J");
    ASSERT_NE(window, nullptr) << "no panel window appeared";
    std::string first = logLine(window, 0);
    // "yyyy.mm.dd hh:mm:ss application started -A -J"
    ASSERT_GE(first.size(), 20u);
    EXPECT_EQ(first.substr(4, 1), ".");
    EXPECT_EQ(first.substr(19), " application started -A -J");
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_AUTO_CONNECT, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_AUTO_JAM, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_DAILY_JAM, BM_GETCHECK, 0, 0), BST_UNCHECKED);

    EXPECT_EQ(logLine(window, 1).substr(19), " firmware image: none");

    // Auto connect finds the simulated unit beside the program within a few seconds.
    EXPECT_EQ(waitForText(GetDlgItem(window, IDC_STATUS), "Firmware"),
              "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(logLine(window, 2).substr(19), " zembrax H 1234 connected");
    EXPECT_EQ(controlsOutsideClientArea(window), std::vector<int>{});
    EXPECT_EQ(closeAndWait(window), 0u);
}

// Update Firmware on the product without an image sends nothing to the
// unit (seen in the simulated unit's wire log) and says why.
TEST_F(Program, UpdateFirmwareWithoutImageSendsNothing) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string wireLog =
        std::string(temp) + "zembrax-blackbox-wire-" + std::to_string(GetCurrentProcessId()) + ".log";
    std::string unit = "firmware=0300;wirelog=" + wireLog;
    HWND window = start(besideTestProgram("blackbox\\zembrax-panel.exe"), "-A", unit.c_str());
    ASSERT_NE(window, nullptr) << "no panel window appeared";
    EXPECT_EQ(waitForText(GetDlgItem(window, IDC_STATUS), "Firmware"),
              "zembrax HD connected\nSerial: H 1234 Firmware: 0300");
    HWND button = GetDlgItem(window, IDC_UPDATE_FIRMWARE);
    for (int i = 0; i < 50 && !IsWindowVisible(button); ++i)
        Sleep(100); // the update layout is shown a moment after the status text
    ASSERT_TRUE(IsWindowVisible(button));
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_FIRMWARE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    EXPECT_EQ(waitForText(GetDlgItem(window, IDC_UPDATE_TEXT), "firmware image"),
              "This build carries no firmware image");
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_EQ(logLine(window, 3).substr(19),
              " zembrax H 1234 firmware update not started: This build carries no firmware image");
    Sleep(500); // anything sent would be in the wire log by now
    EXPECT_EQ(closeAndWait(window), 0u);

    // Of all the panel sent, only the identity request.
    std::ifstream in(wireLog);
    std::vector<std::string> sentLines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find("panel -> ") != std::string::npos)
            sentLines.push_back(line.substr(line.find("panel -> ")));
    }
    in.close();
    DeleteFileA(wireLog.c_str());
    EXPECT_EQ(sentLines, std::vector<std::string>{"panel -> unit 0: F0 2C 5A 42 01 F7"});
}

// One panel per machine, in a Wine prefix of its own (ctest entry
// panel_tests.dpi144) where no other test's window takes the foreground.
class SingleInstance : public Program {
  protected:
    void TearDown() override {
        Program::TearDown();
        process = other;
        Program::TearDown();
    }
    PROCESS_INFORMATION other{};
};

TEST_F(SingleInstance, ASecondStartBringsTheRunningPanelForwardUnlessSwitchM) {
    const std::string exe = besideTestProgram("blackbox\\zembrax-panel.exe");
    std::filesystem::remove_all(localAppData() + "\\zembrax-panel");
    HWND running = start(exe, "");
    ASSERT_NE(running, nullptr) << "no panel window appeared";
    ShowWindow(running, SW_MINIMIZE);
    HWND elsewhere = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 40, 40, nullptr, nullptr,
                                     nullptr, nullptr);
    SetForegroundWindow(elsewhere);
    ASSERT_TRUE(IsIconic(running));
    ASSERT_NE(GetForegroundWindow(), running);
    other = startProgram(exe, "");
    ASSERT_EQ(WaitForSingleObject(other.hProcess, 5000), WAIT_OBJECT_0) << "the second start goes on";
    DWORD exitCode = 12345;
    GetExitCodeProcess(other.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(IsIconic(running));
    EXPECT_EQ(GetForegroundWindow(), running);
    DestroyWindow(elsewhere);

    CloseHandle(other.hProcess);
    CloseHandle(other.hThread);
    other = startProgram(exe, "-M");
    HWND further = waitForPanelOf(other.dwProcessId);
    ASSERT_NE(further, nullptr) << "no further panel appeared";
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(controlsOutsideClientArea(further), std::vector<int>{});
    PostMessageA(further, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(other.hProcess, 20000), WAIT_OBJECT_0);
    std::string lines; // today's file: the further panel's lines carry its process id
    for (const auto& file : std::filesystem::directory_iterator(localAppData() + "\\zembrax-panel\\logs"))
        lines.append(std::istreambuf_iterator<char>(std::ifstream(file.path(), std::ios::binary).rdbuf()),
                     {});
    EXPECT_NE(lines.find("[" + std::to_string(other.dwProcessId) + "] application started -M\r\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(" application started \r\n"), std::string::npos) << lines;
}

} // namespace
