// The shipped program as released: its version resource, how it is linked,
// and that a winmm.dll planted beside it is not loaded.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "core/resource.h"
#include "harness.h"
#include "version.h"

namespace {

const std::string kShipped = besideTestProgram("blackbox\\zembrax-panel.exe");

TEST(Release, VersionResourceOfTheShippedProgram) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(kShipped.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << kShipped;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(kShipped.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    const DWORD high = MAKELONG(ZEMBRAX_VERSION_MINOR, ZEMBRAX_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, ZEMBRAX_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    struct Text {
        const char* name;
        const char* value;
    } texts[] = {
        {"CompanyName", "Kermaveld"},
        {"ProductName", "zembrax-panel"},
        {"FileDescription", "zembrax HD control panel"},
        {"FileVersion", ZEMBRAX_VERSION},
        {"ProductVersion", ZEMBRAX_VERSION},
        {"OriginalFilename", "zembrax-panel.exe"},
    };
    for (const Text& text : texts) {
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + text.name;
        char* value = nullptr;
        ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << text.name;
        EXPECT_STREQ(value, text.value) << text.name;
    }
}

// What the headers of the shipped program say: its protections and the DLLs
// the loader brings in at start. (GNU ld leaves the delay-import directory
// empty; the delay-load helper finds its descriptors without it.)
struct Linkage {
    WORD dllCharacteristics = 0;
    std::vector<std::string> imports;
};

Linkage readLinkage(const std::string& path) {
    Linkage linkage;
    HMODULE mapped = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!mapped) return linkage;
    // The handle of an image mapped as a resource has its low bits set.
    auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(mapped) & ~ULONG_PTR{3});
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    linkage.dllCharacteristics = nt->OptionalHeader.DllCharacteristics;
    const IMAGE_DATA_DIRECTORY* directory = nt->OptionalHeader.DataDirectory;
    if (DWORD rva = directory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress)
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + rva); d->Name; ++d)
            linkage.imports.emplace_back(reinterpret_cast<const char*>(base + d->Name));
    FreeLibrary(mapped);
    return linkage;
}

bool names(const std::vector<std::string>& dlls, const char* dll) {
    for (const std::string& name : dlls)
        if (lstrcmpiA(name.c_str(), dll) == 0) return true;
    return false;
}

TEST(Release, ShippedProgramDoesNotImportWinmmAtStartAndUsesAslrAndDep) {
    Linkage linkage = readLinkage(kShipped);
    ASSERT_FALSE(linkage.imports.empty()) << "cannot read the headers of " << kShipped;
    EXPECT_TRUE(names(linkage.imports, "kernel32.dll"));
    EXPECT_FALSE(names(linkage.imports, "winmm.dll")) << "WinMM is imported at start";
    for (WORD flag : {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA,
                      IMAGE_DLLCHARACTERISTICS_NX_COMPAT})
        EXPECT_EQ(linkage.dllCharacteristics & flag, flag) << std::hex << flag;
}

// Per-monitor aware (v2, system-aware before Windows 10 1703), made for
// Windows 7 to 11, and no activeCodePage: the panel's text is ANSI.
TEST(Release, ManifestDeclaresTheDisplayScaleAndTheWindowsVersions) {
    HMODULE image = LoadLibraryExA(kShipped.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, found))),
                         SizeofResource(image, found));
    for (const char* part : {"\">true</dpiAware>", "\">PerMonitorV2, System</dpiAwareness>",
                             "{8e0f7a12-bfb3-", "{1f676c76-80e1-", "{4a2f28e3-53b9-", "{35138b9a-5d96-"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    EXPECT_EQ(manifest.find("<activeCodePage"), std::string::npos);
    FreeLibrary(image);
}

std::string statusText(HWND window) {
    wchar_t buffer[128] = {};
    GetDlgItemTextW(window, IDC_STATUS, buffer, 128);
    std::wstring wide(buffer);
    return std::string(wide.begin(), wide.end()); // ASCII
}

// planted\ holds the shipped program and tests/planted_winmm.cpp as
// winmm.dll; the system WinMM of the test's Wine prefix is the simulated unit.
// A static import of WinMM would take the planted one at start, a delay-load
// without SetDefaultDllDirectories at the first MIDI call (Wine searches the
// program's folder first, as Windows does).
TEST(Release, WinmmBesideTheShippedProgramIsNotLoaded) {
    HANDLE plantedLoaded = CreateEventA(nullptr, TRUE, FALSE, "zembrax-planted-winmm-loaded");
    ASSERT_NE(plantedLoaded, nullptr);
    std::string exe = besideTestProgram("planted\\zembrax-panel.exe");
    std::string commandLine = "\"" + exe + "\" -A";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    HWND panelWindow = waitForWindowOf(process.dwProcessId,
                                       [](HWND window) { return GetDlgItem(window, IDC_STATUS) != nullptr; });
    EXPECT_NE(panelWindow, nullptr) << "no panel window appeared";
    std::string status;
    for (int i = 0; panelWindow && i < 150 && status.find("Firmware") == std::string::npos; ++i) {
        Sleep(100);
        status = statusText(panelWindow);
    }
    // Auto connect found the simulated unit: the system's WinMM answered.
    EXPECT_EQ(status, "zembrax HD connected\nSerial: H 1234 Firmware: 0301");
    EXPECT_EQ(WaitForSingleObject(plantedLoaded, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the winmm.dll beside the program was loaded";

    if (panelWindow) PostMessageA(panelWindow, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(plantedLoaded);
}

} // namespace
