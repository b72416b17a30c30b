// bench_probe: starts one Windows program, works it from outside through
// window messages, and reports times, CPU and memory. The benchmark script
// (tools/bench.sh) runs it under the same Wine as the programs it measures.
//
//   bench_probe STEP... -- PROGRAM [ARGUMENTS...]
//
// Steps, in order (times are milliseconds since the process was created):
//   start                       create the process and wait until it shows a
//                               window: prints shown=
//   sleep MS                    wait
//   click NAME ID               post WM_COMMAND (ID, BN_CLICKED) to the window
//   wait NAME ID TEXT MS        poll every millisecond until the text of
//                               control ID (0: the window's caption) contains
//                               TEXT ("\n" allowed); at most MS
//   abort ID TEXT               from now on, every wait fails as soon as
//                               control ID's text contains TEXT
//   cpu NAME                    CPU used so far, milliseconds: the whole
//                               process (NAME_cpu), the window's thread
//                               (NAME_gui) and, when BENCH_SERVER_PID names
//                               the wineserver's Linux process, the server
//                               (NAME_server, for all its clients)
//   mem NAME                    working set and its peak, KiB
//   text NAME ID                the text of control ID (blanks as "_", line
//                               feeds as "\n")
//   close NAME                  post WM_CLOSE and wait until the process is gone
// Every step with a NAME prints NAME=<time> (and more for cpu, mem, text).
// The output is one line of name=value pairs; on a failed step it ends with
// error=<what> and the exit code is 1. Texts are read with GetWindowTextW,
// which takes a control's text from the window system without a message to
// the program: polling costs the program's thread nothing, only the
// wineserver a request per poll, alike for the panel and its baseline.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

LARGE_INTEGER frequency;
LARGE_INTEGER created;
PROCESS_INFORMATION process{};
HWND window = nullptr;
std::string output;

double nowMs() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart - created.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void put(const std::string& name, const std::string& value) {
    if (!output.empty()) output += ' ';
    output += name + "=" + value;
}

void putNumber(const std::string& name, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    put(name, text);
}

[[noreturn]] void fail(const std::string& what) {
    put("error", what);
    std::printf("%s\n", output.c_str());
    std::fflush(stdout);
    if (process.hProcess && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process.hProcess, 99);
    std::exit(1);
}

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK findWindow(HWND candidate, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(candidate, &owner);
    if (owner == search->processId && IsWindowVisible(candidate) &&
        (GetWindowLongA(candidate, GWL_STYLE) & WS_CAPTION) == WS_CAPTION) {
        search->found = candidate;
        return FALSE;
    }
    return TRUE;
}

void appendQuoted(std::string& line, const std::string& part) {
    if (!line.empty()) line.push_back(' ');
    const bool quote = part.empty() || part.find(' ') != std::string::npos;
    if (quote) line.push_back('"');
    line.append(part);
    if (quote) line.push_back('"');
}

void start(const std::vector<std::string>& program) {
    std::string commandLine;
    for (const std::string& part : program)
        appendQuoted(commandLine, part);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    QueryPerformanceCounter(&created);
    if (!CreateProcessA(program[0].c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        fail("CreateProcess:" + std::to_string(GetLastError()));
    WaitForInputIdle(process.hProcess, 30000);
    Search search{process.dwProcessId, nullptr};
    for (;;) {
        EnumWindows(findWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        if (WaitForSingleObject(process.hProcess, 0) != WAIT_TIMEOUT) fail("ended-before-window");
        if (nowMs() > 60000) fail("no-window");
        Sleep(1);
    }
    window = search.found;
    putNumber("shown", nowMs());
}

HWND target(int id) {
    return id == 0 ? window : GetDlgItem(window, id);
}

std::string textOf(int id) {
    wchar_t buffer[512] = {};
    GetWindowTextW(target(id), buffer, 512);
    std::string text;
    for (const wchar_t* p = buffer; *p; ++p)
        text += *p < 128 ? static_cast<char>(*p) : '?';
    return text;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s)
        out += c == '\n' ? std::string("\\n") : c == ' ' ? std::string("_") : std::string(1, c);
    return out;
}

double fileTimeMs(const FILETIME& t) {
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 10000.0;
}

double threadCpuMs(DWORD threadId) {
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (!thread) return 0;
    FILETIME createdAt, exitedAt, kernel, user;
    double ms = 0;
    if (GetThreadTimes(thread, &createdAt, &exitedAt, &kernel, &user))
        ms = fileTimeMs(kernel) + fileTimeMs(user);
    CloseHandle(thread);
    return ms;
}

// The process's CPU time as the sum of its threads' times. Wine's
// GetProcessTimes does not report another process's CPU (it gives the
// caller's own), but GetThreadTimes does, from Linux's figures. A thread
// that has ended by the time of the sample is not counted.
double processCpuMs() {
    double sum = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == process.dwProcessId) sum += threadCpuMs(entry.th32ThreadID);
    CloseHandle(snapshot);
    return sum;
}

// CPU of a Linux process from /proc (through Wine's Z: drive), or -1.
double linuxProcessCpuMs(const char* pid) {
    if (!pid || !*pid) return -1;
    char path[64];
    std::snprintf(path, sizeof path, "Z:\\proc\\%s\\stat", pid);
    FILE* file = std::fopen(path, "r");
    if (!file) return -1;
    char line[1024] = {};
    size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = 0;
    // Fields after the command's closing bracket: state is field 3, utime 14, stime 15.
    const char* p = std::strrchr(line, ')');
    if (!p) return -1;
    unsigned long long user = 0, system = 0;
    if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) * 10.0; // 100 clock ticks per second
}

struct Abort {
    int id;
    std::string text;
};
std::vector<Abort> aborts;

void checkAborts() {
    for (const Abort& a : aborts)
        if (textOf(a.id).find(a.text) != std::string::npos) fail("abort:" + escape(textOf(a.id)));
}

int number(const std::vector<std::string>& args, size_t i) {
    if (i >= args.size()) fail("missing-argument");
    return std::atoi(args[i].c_str());
}

const std::string& word(const std::vector<std::string>& args, size_t i) {
    if (i >= args.size()) fail("missing-argument");
    return args[i];
}

} // namespace

int main(int argc, char** argv) {
    QueryPerformanceFrequency(&frequency);
    std::vector<std::string> steps, program;
    bool inProgram = false;
    for (int i = 1; i < argc; ++i) {
        if (!inProgram && std::strcmp(argv[i], "--") == 0)
            inProgram = true;
        else
            (inProgram ? program : steps).push_back(argv[i]);
    }
    if (program.empty()) {
        std::fprintf(stderr, "usage: bench_probe STEP... -- PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    size_t i = 0;
    while (i < steps.size()) {
        const std::string step = steps[i++];
        if (step != "start" && !window) start(program);
        if (step == "start") {
            if (!window) start(program);
        } else if (step == "sleep") {
            Sleep(static_cast<DWORD>(number(steps, i++)));
        } else if (step == "click") {
            const std::string name = word(steps, i++);
            const int id = number(steps, i++);
            putNumber(name, nowMs());
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
        } else if (step == "wait") {
            const std::string name = word(steps, i++);
            const int id = number(steps, i++);
            const std::string text = unescape(word(steps, i++));
            const double limit = nowMs() + number(steps, i++);
            while (textOf(id).find(text) == std::string::npos) {
                checkAborts();
                if (WaitForSingleObject(process.hProcess, 0) != WAIT_TIMEOUT) fail(name + "-ended");
                if (nowMs() > limit) fail(name + "-timeout:" + escape(textOf(id)));
                Sleep(1);
            }
            putNumber(name, nowMs());
        } else if (step == "abort") {
            const int id = number(steps, i++);
            aborts.push_back(Abort{id, unescape(word(steps, i++))});
        } else if (step == "cpu") {
            const std::string name = word(steps, i++);
            DWORD guiThread = GetWindowThreadProcessId(window, nullptr);
            putNumber(name, nowMs());
            putNumber(name + "_cpu", processCpuMs());
            putNumber(name + "_gui", threadCpuMs(guiThread));
            const double server = linuxProcessCpuMs(std::getenv("BENCH_SERVER_PID"));
            if (server >= 0) putNumber(name + "_server", server);
        } else if (step == "mem") {
            const std::string name = word(steps, i++);
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof counters;
            if (!GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) fail("memory");
            put(name + "_peak", std::to_string(counters.PeakWorkingSetSize / 1024));
            put(name + "_ws", std::to_string(counters.WorkingSetSize / 1024));
        } else if (step == "text") {
            const std::string name = word(steps, i++);
            put(name, escape(textOf(number(steps, i++))));
        } else if (step == "close") {
            const std::string name = word(steps, i++);
            PostMessageA(window, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) fail(name + "-timeout");
            putNumber(name, nowMs());
        } else {
            fail("unknown-step:" + step);
        }
    }
    std::printf("%s\n", output.c_str());
    if (process.hProcess) {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return 0;
}
