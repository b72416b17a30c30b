// Fuzzing the receive path: random and mutated messages go, as a driver
// hands them over, through a queued input buffer of the open input into
// MM_MIM_LONGDATA (or MM_MIM_LONGERROR) and receiveSysEx, or as MM_MIM_DATA
// into receiveShortMessage, and on into every report handler. Each SysEx
// message ends exactly at the end of a readable page, followed by a page
// without access, so any read past it faults. After every message the panel's
// state must be whole: no log line over 255 characters, list selections
// inside their lists, state variables and MTC registers in their ranges, both
// input buffers back with the driver, the simulated unit's protocol checks
// silent.
//
// The normal run sends a few tens of thousands of messages with a fixed seed.
// ZEMBRAX_FUZZ_COUNT and ZEMBRAX_FUZZ_SEED change both (tools/fuzz.sh runs a
// million); a failure or a crash prints the seed and the message number and
// bytes, and the same count and seed replay it.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/panel.h"
#include "core/resource.h"
#include "harness.h"
#include "sim/sim_control.h"

namespace {

// One message as the driver delivers it.
struct Delivery {
    enum Kind { LongData, LongError, Short } kind = LongData;
    Bytes bytes;          // SysEx buffer contents
    DWORD shortMessage{}; // packed short message
};

std::string describe(const Delivery& d) {
    char text[16];
    std::string s;
    if (d.kind == Delivery::Short) {
        std::snprintf(text, sizeof text, "%06lX", static_cast<unsigned long>(d.shortMessage));
        return std::string("MM_MIM_DATA ") + text;
    }
    s = d.kind == Delivery::LongData ? "MM_MIM_LONGDATA" : "MM_MIM_LONGERROR";
    s += " (" + std::to_string(d.bytes.size()) + " bytes):";
    for (uint8_t b : d.bytes) {
        std::snprintf(text, sizeof text, " %02X", b);
        s += text;
    }
    return s;
}

Bytes nibbles(Bytes head, const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        head.push_back(c >> 4);
        head.push_back(c & 0x0F);
    }
    head.push_back(0xF7);
    return head;
}

// Every report the panel understands, well formed.
std::vector<Bytes> reports() {
    return {
        deviceFrame({0x0A, '1', '2', '3', '4', '0', '3', '0', '1'}),
        deviceFrame({0x08, '1', '2', '3', '4', '0', '3', '0', '1'}),
        deviceFrame({0x02, '1', '2', '3', '4', '0', '2', '9', '9'}),
        deviceFrame({0x0A, '4', '3', '2', '1', 0x7F, 0x7F, 0x7F, 0x7F}),
        deviceFrame({0x0C}),
        deviceFrame({0x41, 0x31, 1, 2, 3, 3, 1, 2, 2, 3, 2, 2, 1, 2, 2, 1, 2, 3, 7, 2, 2, 1}),
        nibbles({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x0A}, "Studio A    ", 12),
        nibbles({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x1E}, "Truck 2     ", 12),
        nibbles({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x32}, "OB van      ", 12),
        nibbles({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x68}, "User FW21   ", 12),
        nibbles({0xF0, 0x2C, 0x5A, 0x42, 0x51, 0x40}, "\x12\x34\x00\x00\x89\xAB\xCD\xEF", 8),
        deviceFrame({0x57, 0x48, 0x0F, 0x0B}),
        deviceFrame({0x57, 0x79, 0x00, 0x05}),
        deviceFrame({0x57, 0x51, 0x08, 0x00}),
        deviceFrame({0x61, 0x07}),
        {0xF0, 0x7F, 0x00, 0x07, 0x46, 0x01, 0x1A, 0xF7},
        {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x6A, 0x14, 0x1E, 0x1D, 0xF7},
    };
}

// The messages of one run: first every systematic mutation of every report
// (each length from 0 to the longest plus 2, each byte changed, 0xF7 at each
// place, 0xF7 missing), then random mutations and random short messages.
class Generator {
  public:
    explicit Generator(uint32_t seed) : random(seed), base(reports()) {
        for (size_t i = 0; i < base.size(); ++i) {
            const Bytes& r = base[i];
            longest = std::max(longest, r.size());
            systematic(r);
            // Identity and settings reports redraw much of the window, which
            // makes them the slowest: the systematic part covers them fully,
            // the random part picks them a quarter as often as the others.
            const bool slow = r[1] == 0x2C && (r[4] == 0x02 || r[4] == 0x08 || r[4] == 0x0A || r[4] == 0x41);
            picks.insert(picks.end(), slow ? 1 : 4, i);
        }
    }

    Delivery next() {
        if (index < planned.size()) return planned[index++];
        return randomDelivery();
    }

  private:
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(random() % n); }
    uint8_t anyByte() {
        // Often the bytes that mean something to a MIDI parser.
        static constexpr uint8_t special[] = {0x00, 0x0F, 0x7F, 0x80, 0xF0, 0xF7, 0xFF, 0x2C, 0x30, 0x39};
        return below(3) == 0 ? special[below(sizeof special)] : static_cast<uint8_t>(below(256));
    }
    void add(Bytes bytes, Delivery::Kind kind = Delivery::LongData) {
        planned.push_back(Delivery{kind, std::move(bytes), 0});
    }
    void systematic(const Bytes& r) {
        for (size_t length = 0; length <= longest + 2; ++length) {
            Bytes cut = r;
            cut.resize(length, 0x05); // longer: payload bytes
            add(cut);                 // cut short: 0xF7 missing
            if (length > 0) {
                cut.back() = 0xF7; // or ended there
                add(cut);
            }
        }
        for (size_t p = 0; p < r.size(); ++p) {
            for (uint8_t flip : {0x01, 0x10, 0x40, 0x80, 0xFF}) {
                Bytes m = r;
                m[p] ^= flip;
                add(m);
            }
            Bytes m = r;
            m[p] = 0xF7; // an early end
            add(m);
        }
        Bytes open = r;
        open.pop_back();
        add(open, Delivery::LongError); // cut by an error
    }
    Delivery randomDelivery() {
        const uint32_t what = below(100);
        if (what < 30) {
            Delivery d;
            d.kind = Delivery::Short;
            uint8_t status = below(3) ? 0xF1 : static_cast<uint8_t>(0x80 | below(128));
            uint8_t data = below(8) ? static_cast<uint8_t>(below(128)) : static_cast<uint8_t>(below(256));
            d.shortMessage = status | data << 8 | below(256) << 16;
            return d;
        }
        Bytes m = base[picks[below(static_cast<uint32_t>(picks.size()))]];
        if (what < 70) {
            for (uint32_t n = 1 + below(3); n > 0; --n)
                m[below(static_cast<uint32_t>(m.size()))] = anyByte();
        } else if (what < 80) {
            m.resize(below(static_cast<uint32_t>(longest + 3)));
            if (!m.empty() && below(2)) m.back() = 0xF7;
        } else if (what < 88) {
            for (uint32_t n = 1 + below(8); n > 0; --n)
                m.insert(m.end() - 1, anyByte());
        } else if (what < 95) {
            m.resize(below(48));
            for (uint8_t& b : m)
                b = anyByte();
            if (!m.empty() && below(2)) m.back() = 0xF7;
        }
        Delivery d;
        d.kind = what >= 95 ? Delivery::LongError : Delivery::LongData;
        d.bytes = std::move(m);
        return d;
    }

    std::mt19937 random;
    std::vector<Bytes> base;
    std::vector<size_t> picks; // indices into base, each as often as it is to be picked
    size_t longest = 0;
    std::vector<Delivery> planned;
    size_t index = 0;
};

// Two pages: the first readable, the second without access.
class GuardedPage {
  public:
    GuardedPage() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size = info.dwPageSize;
        base =
            static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base + size, size, PAGE_NOACCESS, &old);
    }
    ~GuardedPage() { VirtualFree(base, 0, MEM_RELEASE); }
    // Copies the message so that its last byte is the page's last.
    uint8_t* place(const Bytes& m) {
        uint8_t* at = base + size - m.size();
        if (!m.empty()) std::memcpy(at, m.data(), m.size());
        return at;
    }
    bool holds(const void* address) const {
        auto a = static_cast<const uint8_t*>(address);
        return a >= base + size && a < base + 2 * size;
    }
    uint8_t* base = nullptr;
    size_t size = 0;
};

// What a crash report needs: the run and the message being handled.
struct Current {
    uint32_t seed = 0;
    uint64_t number = 0;
    const Delivery* delivery = nullptr;
    const GuardedPage* page = nullptr;
} current;

void reportCrash(const char* what) {
    std::fprintf(stderr, "fuzz: %s at message #%" PRIu64 " (seed %u): %s\n", what, current.number,
                 current.seed, current.delivery ? describe(*current.delivery).c_str() : "?");
    std::fflush(stderr);
    ExitProcess(3);
}

LONG CALLBACK onReadPastMessage(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (current.delivery && current.page && r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
        r->NumberParameters >= 2 && current.page->holds(reinterpret_cast<void*>(r->ExceptionInformation[1])))
        reportCrash("read past the end of the message");
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* e) {
    char what[64];
    std::snprintf(what, sizeof what, "crash (exception 0x%08lX)",
                  static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode));
    reportCrash(what);
    return EXCEPTION_EXECUTE_HANDLER;
}

constexpr int kLists[] = {IDC_VIDEO_REF,    IDC_SD_STANDARD, IDC_HD_STANDARD, IDC_VIDEO_OUT13, IDC_VIDEO_OUT4,
                          IDC_VIDEO_OUT5,   IDC_VIDEO_OUT6,  IDC_AUDIO_REF,   IDC_SAMPLE_RATE, IDC_WORD_OUT16,
                          IDC_WORD_OUT78,   IDC_AES_OUT,     IDC_SPDIF_OUT,   IDC_NTSC_BLACK,  IDC_EXT_LOCK,
                          IDC_PROFILE_LIST, IDC_LOCATE_RATE};
constexpr int kLogLinesKept = 2000; // the fuzzer empties the log now and then to stay fast

// The panel, connected to a unit that hears what the panel sends but whose
// input the fuzzer plays itself.
class Fuzz : public ::testing::Test {
  protected:
    void SetUp() override {
        window = openPanel();
        ASSERT_EQ(simConfigure("unitinputs=-1"), 0);
        misuse = simDriverMisuse();
        connectAndIdentify(window);
        ASSERT_TRUE(panel.inputPort && panel.outputPort);
        for (size_t i = 0; i < std::size(kLists); ++i)
            lists[i] = GetDlgItem(window, kLists[i]);
        ShowWindow(window, SW_HIDE); // nothing to paint: faster
        current.page = &page;
        handler = AddVectoredExceptionHandler(1, onReadPastMessage);
        previousFilter = SetUnhandledExceptionFilter(onCrash);
        ASSERT_EQ(deliver(Delivery{Delivery::LongData, reports()[0], 0}), "");
        logCount = logLines(window).size();
    }
    void TearDown() override {
        current.delivery = nullptr;
        current.page = nullptr;
        RemoveVectoredExceptionHandler(handler);
        SetUnhandledExceptionFilter(previousFilter);
        closePanel(window);
    }

    // Hands one message to the panel as the driver does. Returns what broke, or "".
    std::string deliver(const Delivery& d) {
        current.delivery = &d;
        if (d.kind == Delivery::Short) {
            SendMessageA(window, MM_MIM_DATA, reinterpret_cast<WPARAM>(panel.inputPort), d.shortMessage);
        } else {
            HMIDIIN handle = nullptr;
            MIDIHDR* header = simTakeInputBuffer(0, &handle);
            if (!header) return "no input buffer was queued";
            header->lpData = reinterpret_cast<LPSTR>(page.place(d.bytes));
            header->dwBytesRecorded = static_cast<DWORD>(d.bytes.size());
            SendMessageA(window, d.kind == Delivery::LongData ? MM_MIM_LONGDATA : MM_MIM_LONGERROR,
                         reinterpret_cast<WPARAM>(handle), reinterpret_cast<LPARAM>(header));
            if (!(header->dwFlags & MHDR_INQUEUE)) return "the buffer was not queued again";
        }
        pumpMessages();
        current.delivery = nullptr;
        return check();
    }

    std::string check() {
        HWND log = GetDlgItem(window, IDC_LOG);
        LRESULT lines = SendMessageA(log, LB_GETCOUNT, 0, 0);
        for (LRESULT i = static_cast<LRESULT>(logCount); i < lines; ++i)
            if (SendMessageA(log, LB_GETTEXTLEN, i, 0) > 255) return "log line " + logLines(window)[i];
        if (lines > kLogLinesKept) {
            SendMessageA(log, LB_RESETCONTENT, 0, 0);
            lines = 0;
        }
        logCount = static_cast<size_t>(lines);
        for (size_t i = 0; i < std::size(kLists); ++i) {
            LRESULT count = SendMessageA(lists[i], LB_GETCOUNT, 0, 0);
            LRESULT selected = SendMessageA(lists[i], LB_GETCURSEL, 0, 0);
            if (selected < -1 || selected >= count) return "selection of list " + std::to_string(kLists[i]);
        }
        const PanelState& p = panel;
        struct {
            const char* name;
            int value, limit;
        } ranges[] = {
            {"jamState", static_cast<int>(p.jamState), 3},
            {"updateState", static_cast<int>(p.updateState), 7},
            {"pageMode", static_cast<int>(p.pageMode), 4},
            {"mtcHours", p.mtcHours, 31},
            {"mtcMinutes", p.mtcMinutes, 63},
            {"mtcSeconds", p.mtcSeconds, 63},
            {"mtcFrames", p.mtcFrames, 63},
            {"mtcWatchdog", p.mtcWatchdog, 5},
            {"mtcErrorCount", p.mtcErrorCount, 4},
            {"querySequenceStep", p.querySequenceStep, 11},
            {"locateRateIndex", p.locateRateIndex, 5},
        };
        for (const auto& r : ranges)
            if (r.value > r.limit) return std::string(r.name) + " = " + std::to_string(r.value);
        const int profile = static_cast<int>(p.currentProfile);
        if ((profile < 0 || profile > 3) && profile != 100)
            return "currentProfile = " + std::to_string(profile);
        if (!panel.inputPort || !panel.outputPort) return "the link was closed";
        if (simProtocolViolations(0) || simUnknownCommands(0)) return "the panel broke the protocol";
        if (simDriverMisuse() != misuse) return "the panel misused a MIDI header";
        return "";
    }

    // Runs `count` messages; the first failure ends the run with its replay data.
    void run(uint32_t seed, uint64_t count) {
        current.seed = seed;
        Generator generator(seed);
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        for (uint64_t n = 0; n < count; ++n) {
            current.number = n;
            panel.sysExDump = n / 1000 % 4 == 3; // a quarter of the time the dumps run too
            const Delivery d = generator.next();
            std::string broken = deliver(d);
            if (!broken.empty()) {
                std::printf("fuzz: FAILED at message #%" PRIu64 " (seed %u): %s\nfuzz: message: %s\n"
                            "fuzz: replay with ZEMBRAX_FUZZ_SEED=%u ZEMBRAX_FUZZ_COUNT=%" PRIu64 "\n",
                            n, seed, broken.c_str(), describe(d).c_str(), seed, n + 1);
                ADD_FAILURE() << broken << " at message #" << n << " (seed " << seed << "): " << describe(d);
                return;
            }
            if (n % 4096 == 4095) simClearReceived(0);
        }
        QueryPerformanceCounter(&end);
        double seconds =
            static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
        std::printf("fuzz: %" PRIu64 " messages (seed %u) in %.1f s: %.0f messages per second\n", count, seed,
                    seconds, static_cast<double>(count) / seconds);
    }

    HWND window = nullptr;
    HWND lists[std::size(kLists)] = {};
    GuardedPage page;
    int misuse = 0;
    size_t logCount = 0;
    PVOID handler = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
};

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

// Faults the fuzzer found, each kept as a case of its own.
TEST_F(Fuzz, FoundFaultsStayFixed) {
    auto quarter = [](uint8_t data) { return Delivery{Delivery::Short, {}, 0xF1u | data << 8}; };
    const struct {
        const char* fault;
        std::vector<Delivery> messages;
    } cases[] = {
        {"a repeated high piece pushed an MTC register past its range",
         {quarter(0x0F), quarter(0x13), quarter(0x13), quarter(0x13), quarter(0x2F), quarter(0x33),
          quarter(0x33), quarter(0x4F), quarter(0x53), quarter(0x53), quarter(0x6F), quarter(0x71),
          quarter(0x71), quarter(0x71)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        for (const Delivery& d : c.messages)
            ASSERT_EQ(deliver(d), "") << describe(d);
    }
    EXPECT_EQ(controlText(window, IDC_MTC_DISPLAY).substr(0, 11), "31:63:63:63");
}

TEST_F(Fuzz, ReceivePath) {
    run(static_cast<uint32_t>(fromEnvironment("ZEMBRAX_FUZZ_SEED", 20260307)),
        fromEnvironment("ZEMBRAX_FUZZ_COUNT", 20000));
}

} // namespace
