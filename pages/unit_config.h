// Unit configuration: the unit's whole configuration (settings parameters,
// configuration protect, calibration items, profile names) as its reports
// give it, kept in a text file through the Windows profile functions, and
// compared with the unit and written back to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../core/panel.h"

// How long a transfer waits for the unit's reports, from its first request.
constexpr DWORD kConfigWaitMs = 2000;
// Timer 9: one request per tick, then a look at what has come.
constexpr UINT kConfigTickMs = 20;

// How the wait for fresh reports went. GoesOn: nothing to do yet (also for a
// tick while no transfer runs). Complete: every report came. Missing: not all
// came in time (describeMissingReports names them). NotSent: a request did
// not go out, or the unit is no longer connected (panel.configRequest says
// which).
enum class ConfigWait { GoesOn, Complete, Missing, NotSent };

// Asks the unit for the reports of its configuration (the four profile
// names, the settings report, the three calibration items), one request per
// tick of timer 9, and waits for them on behalf of `task`.
void startConfigTransfer(ConfigTask task);

// Timer 9. Kills the timer once the wait is over; panel.configTask still names
// the task then, for the caller to finish and set Idle.
[[nodiscard]] ConfigWait configTick();

// The reports still missing, as "settings report, H-phase offset".
void describeMissingReports(char* text, std::size_t size);

// The reports as they arrive (the router calls these after the pages).
void noteSettingsReport(const uint8_t* bytes, std::size_t count);
void noteProfileNameReport(int slot, std::size_t count);
void noteCalibrationReport(const uint8_t* bytes, std::size_t count);

// Writes the unit's identity, panel.unitValues and the profile names into the
// file at `path`, replacing it whole or leaving it as it was. Returns 0, or
// the Windows error that stopped it.
unsigned long writeConfigFile(const char* path);

// Reads and checks the whole file. True with its values and the serial number
// it was saved from; false with "[section] key: reason" in `problem`.
bool readConfigFile(const char* path, UnitValues& values, int& serial, char* problem, std::size_t size);

// Differences shown at most, before "and N more".
constexpr int kShownDifferences = 20;

// One line per value that differs, in words where a list names the value:
// "Video reference: Internal -> Ext. PAL", "H-phase offset: -5 -> 3"; after
// kShownDifferences lines "and N more". Returns the number of differences.
int describeDifferences(const UnitValues& unit, const UnitValues& file, char* text, std::size_t size);

// The keys whose values differ, separated by ", ". Returns how many.
int listDifferentKeys(const UnitValues& unit, const UnitValues& file, char* text, std::size_t size);

// What writeDifferences did: the values it wrote, and for a send that did not
// go out how it went and the key of its value (Sent and null: every value
// went out).
struct RestoreResult {
    int written;
    SendResult stopped;
    const char* key;
};

// Sends the values of `file` that differ from `unit`, each with the messages
// of the page that sets it, and stops at the first send that does not go out.
[[nodiscard]] RestoreResult writeDifferences(const UnitValues& unit, const UnitValues& file);
