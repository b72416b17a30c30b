// Time code as the unit counts it: labels (hours, minutes, seconds, frames),
// the four MTC rates with drop-frame counting and pull-down, a running time
// code (the LTC reader, the generator's position) and the generator that
// sends MTC quarter frames. Times are microseconds of the simulator's clock;
// no threads, no Windows calls.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

// MTC rate codes, bits 5 and 6 of the hours byte.
constexpr int kRate24 = 0;
constexpr int kRate25 = 1;
constexpr int kRate30Drop = 2;
constexpr int kRate30 = 3;

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

struct TimeCode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
};

// A rate code with the pull-down setting. Pull-down slows 24 and 30 by
// 1000/1001 (23.976 and 29.97 frames per second); 29.97 drop-frame always
// runs at 30000/1001, 25 is never pulled down.
struct FrameRate {
    int code = kRate25;
    bool pullDown = false;

    int labelsPerSecond() const { return code == kRate24 ? 24 : code == kRate25 ? 25 : 30; }
    bool dropFrame() const { return code == kRate30Drop; }
    bool slowed() const { return code == kRate30Drop || (pullDown && code != kRate25); }
    // Real frames per second as numerator / denominator.
    int64_t numerator() const { return slowed() ? labelsPerSecond() * 1000 : labelsPerSecond(); }
    int64_t denominator() const { return slowed() ? 1001 : 1; }
    double frameMilliseconds() const {
        return 1000.0 * static_cast<double>(denominator()) / static_cast<double>(numerator());
    }
    int64_t framesPerDay() const;
};

// Whether a label exists at this rate (drop-frame labels 00 and 01 of most
// minutes do not).
bool labelValid(const TimeCode& t, int rateCode);
// Frames counted from 00:00:00:00 to the label.
int64_t frameCount(const TimeCode& t, const FrameRate& rate);
// The label of a frame count (taken modulo one day).
TimeCode labelOf(int64_t count, const FrameRate& rate);
// The label as milliseconds of the day, its frame at the real frame rate.
double labelMilliseconds(const TimeCode& t, const FrameRate& rate);

// A time code that stands or runs at its real rate from a start time.
class RunningTimeCode {
  public:
    void set(const TimeCode& t, const FrameRate& rate, int64_t now);
    void start(int64_t now);
    void stop(int64_t now);
    // Changes the rate (pull-down) without a jump of the position.
    void setRate(const FrameRate& rate, int64_t now);

    bool running() const { return running_; }
    const FrameRate& rate() const { return rate_; }
    int64_t countAt(int64_t now) const;
    TimeCode at(int64_t now) const { return labelOf(countAt(now), rate_); }
    // The position as milliseconds of the day, with the part of the current
    // frame that has passed.
    double millisecondsAt(int64_t now) const;

  protected:
    FrameRate rate_;
    bool running_ = false;
    int64_t startTime_ = 0;  // when it started running
    int64_t startCount_ = 0; // the frame count then; the position while it stands
};

// The time-code generator: while it runs it sends eight quarter frames per
// two frames, each cycle describing the frame on which it began.
class TimeCodeGenerator : public RunningTimeCode {
  public:
    // A new position (and rate); a running generator begins a new cycle on it.
    void set(const TimeCode& t, const FrameRate& rate, int64_t now);
    void play(int64_t now);
    void setRate(const FrameRate& rate, int64_t now);

    // When the next quarter frame is due; kNever while stopped.
    int64_t nextQuarterDue() const;
    // Takes the next quarter frame: the data byte of message F1 (piece << 4 |
    // nibble). *cycle receives the label the cycle describes.
    uint8_t takeQuarter(TimeCode* cycle);

  private:
    int64_t nextQuarter_ = 0; // quarter frames since the start
};

// The data byte of quarter-frame piece 0..7 for a label and rate code.
uint8_t quarterFrameData(int piece, const TimeCode& t, int rateCode);

} // namespace sim
