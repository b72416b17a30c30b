#include "time_code.h"

#include <algorithm>

namespace sim {

namespace {

constexpr int64_t kMicroseconds = 1000000;

// Drop-frame counting: ten minutes hold 17982 frames (frames 00 and 01 are
// left out at the start of every minute but the tenth), a minute without its
// two first frames 1798.
constexpr int64_t kDropTenMinutes = 17982;
constexpr int64_t kDropMinute = 1798;

bool droppedLabel(const TimeCode& t) {
    return t.seconds == 0 && t.frames < 2 && t.minutes % 10 != 0;
}

int64_t wrap(int64_t count, const FrameRate& rate) {
    const int64_t day = rate.framesPerDay();
    count %= day;
    return count < 0 ? count + day : count;
}

} // namespace

int64_t FrameRate::framesPerDay() const {
    return dropFrame() ? 24 * 6 * kDropTenMinutes : 86400LL * labelsPerSecond();
}

bool labelValid(const TimeCode& t, int rateCode) {
    FrameRate rate;
    rate.code = rateCode;
    if (t.hours < 0 || t.hours > 23 || t.minutes < 0 || t.minutes > 59 || t.seconds < 0 || t.seconds > 59)
        return false;
    if (t.frames < 0 || t.frames >= rate.labelsPerSecond()) return false;
    return !(rate.dropFrame() && droppedLabel(t));
}

int64_t frameCount(const TimeCode& t, const FrameRate& rate) {
    const int64_t seconds = (static_cast<int64_t>(t.hours) * 60 + t.minutes) * 60 + t.seconds;
    if (!rate.dropFrame()) return wrap(seconds * rate.labelsPerSecond() + t.frames, rate);
    // A label that drop-frame counting leaves out stands for the first frame
    // of its minute.
    const int frames = droppedLabel(t) ? 2 : t.frames;
    const int64_t minutes = static_cast<int64_t>(t.hours) * 60 + t.minutes;
    return wrap(seconds * 30 + frames - 2 * (minutes - minutes / 10), rate);
}

TimeCode labelOf(int64_t count, const FrameRate& rate) {
    count = wrap(count, rate);
    int64_t number = count; // frame number as if no label were left out
    if (rate.dropFrame()) {
        const int64_t tens = count / kDropTenMinutes, rest = count % kDropTenMinutes;
        number = count + 18 * tens + (rest < 2 ? 0 : 2 * ((rest - 2) / kDropMinute));
    }
    const int perSecond = rate.labelsPerSecond();
    TimeCode t;
    t.frames = static_cast<int>(number % perSecond);
    const int64_t seconds = number / perSecond;
    t.seconds = static_cast<int>(seconds % 60);
    t.minutes = static_cast<int>(seconds / 60 % 60);
    t.hours = static_cast<int>(seconds / 3600 % 24);
    return t;
}

double labelMilliseconds(const TimeCode& t, const FrameRate& rate) {
    const int64_t seconds = (static_cast<int64_t>(t.hours) * 60 + t.minutes) * 60 + t.seconds;
    return static_cast<double>(seconds) * 1000.0 + t.frames * rate.frameMilliseconds();
}

void RunningTimeCode::set(const TimeCode& t, const FrameRate& rate, int64_t now) {
    rate_ = rate;
    startCount_ = frameCount(t, rate);
    startTime_ = now;
}

void RunningTimeCode::start(int64_t now) {
    if (running_) return;
    running_ = true;
    startTime_ = now;
}

void RunningTimeCode::stop(int64_t now) {
    if (!running_) return;
    startCount_ = countAt(now);
    running_ = false;
}

void RunningTimeCode::setRate(const FrameRate& rate, int64_t now) {
    const TimeCode here = at(now);
    rate_ = rate;
    startCount_ = frameCount(here, rate);
    startTime_ = now;
}

int64_t RunningTimeCode::countAt(int64_t now) const {
    if (!running_) return startCount_;
    const int64_t elapsed = std::max<int64_t>(0, now - startTime_);
    return wrap(startCount_ + elapsed * rate_.numerator() / (kMicroseconds * rate_.denominator()), rate_);
}

double RunningTimeCode::millisecondsAt(int64_t now) const {
    if (!running_) return labelMilliseconds(at(now), rate_);
    const int64_t elapsed = std::max<int64_t>(0, now - startTime_) * rate_.numerator();
    const int64_t unit = kMicroseconds * rate_.denominator();
    const double part = static_cast<double>(elapsed % unit) / static_cast<double>(unit);
    return labelMilliseconds(labelOf(startCount_ + elapsed / unit, rate_), rate_) +
           part * rate_.frameMilliseconds();
}

void TimeCodeGenerator::set(const TimeCode& t, const FrameRate& rate, int64_t now) {
    RunningTimeCode::set(t, rate, now);
    nextQuarter_ = 0;
}

void TimeCodeGenerator::play(int64_t now) {
    if (running_) return;
    start(now);
    nextQuarter_ = 0;
}

void TimeCodeGenerator::setRate(const FrameRate& rate, int64_t now) {
    RunningTimeCode::setRate(rate, now);
    nextQuarter_ = 0; // a running generator begins a new cycle on the current frame
}

int64_t TimeCodeGenerator::nextQuarterDue() const {
    if (!running_) return kNever;
    return startTime_ + nextQuarter_ * kMicroseconds * rate_.denominator() / (4 * rate_.numerator());
}

uint8_t TimeCodeGenerator::takeQuarter(TimeCode* cycle) {
    const int64_t quarter = nextQuarter_++;
    const TimeCode label = labelOf(startCount_ + 2 * (quarter / 8), rate_);
    if (cycle) *cycle = label;
    return quarterFrameData(static_cast<int>(quarter % 8), label, rate_.code);
}

uint8_t quarterFrameData(int piece, const TimeCode& t, int rateCode) {
    int nibble = 0;
    switch (piece) {
    case 0: nibble = t.frames & 0x0F; break;
    case 1: nibble = t.frames >> 4 & 0x01; break;
    case 2: nibble = t.seconds & 0x0F; break;
    case 3: nibble = t.seconds >> 4 & 0x03; break;
    case 4: nibble = t.minutes & 0x0F; break;
    case 5: nibble = t.minutes >> 4 & 0x03; break;
    case 6: nibble = t.hours & 0x0F; break;
    default: nibble = (t.hours >> 4 & 0x01) | (rateCode & 3) << 1; break;
    }
    return static_cast<uint8_t>((piece & 7) << 4 | nibble);
}

} // namespace sim
