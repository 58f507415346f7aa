// The pace of a reply over a sliding window, from samples of what was sent
// taken once a step (a tenth of the window).
#include "pace.h"

namespace {

unsigned long long StepMs(const PaceMeter& pace) { return pace.windowMs / kPaceSteps > 0 ? pace.windowMs / kPaceSteps : 1; }

// What was sent at each step up to `now`: nothing is sent between calls, so
// a step passed unseen had the count the meter holds now.
void Sample(PaceMeter& pace, unsigned long long now)
{
    const unsigned long long due = (now - pace.start) / StepMs(pace) + 1;
    for (; pace.taken < due; ++pace.taken)
        pace.samples[pace.taken % (kPaceSteps + 1)] = pace.sent;
}

}  // namespace

PaceMeter StartPace(unsigned long long now, unsigned long windowMs, unsigned long floorBytesPerSecond)
{
    PaceMeter pace;
    pace.start = now;
    pace.windowMs = windowMs;
    pace.floorBytesPerSecond = floorBytesPerSecond;
    return pace;
}

void CountSent(PaceMeter& pace, unsigned long long now, unsigned long long bytes)
{
    Sample(pace, now);
    pace.sent += bytes;
}

bool PaceTooSlow(PaceMeter& pace, unsigned long long now)
{
    if (pace.floorBytesPerSecond == 0 || now - pace.start < pace.windowMs)
        return false;
    Sample(pace, now);
    // The sample taken a whole window before the latest one.
    const unsigned long long windowStart = pace.samples[(pace.taken - 1 - kPaceSteps) % (kPaceSteps + 1)];
    return pace.sent - windowStart < static_cast<unsigned long long>(pace.floorBytesPerSecond) * pace.windowMs / 1000;
}

unsigned long long NextPaceCheck(const PaceMeter& pace)
{
    if (pace.floorBytesPerSecond == 0)
        return ~0ULL;
    const unsigned long long step = StepMs(pace);
    const unsigned long long first = pace.start + pace.windowMs;
    const unsigned long long next = pace.start + pace.taken * step;
    return next > first ? next : first;
}
