// The pace at which a client takes a reply: what it took over the last
// window, so that a burst taken into socket buffers at the start cannot
// stand in for the reading that never follows.
#pragma once

#include <cstddef>

constexpr size_t kPaceSteps = 10;  // samples in one window

struct PaceMeter {
    unsigned long long start = 0;  // GetTickCount64 when the reply began
    unsigned long windowMs = 0;
    unsigned long floorBytesPerSecond = 0;  // 0: no floor
    unsigned long long sent = 0;
    unsigned long long taken = 0;  // samples recorded
    unsigned long long samples[kPaceSteps + 1] = {};  // `sent` at each step since the start, a ring
};

PaceMeter StartPace(unsigned long long now, unsigned long windowMs, unsigned long floorBytesPerSecond);

// Counts `bytes` the client took at `now`.
void CountSent(PaceMeter& pace, unsigned long long now, unsigned long long bytes);

// True once a whole window has passed and the client took less than the
// floor's worth over the last one.
bool PaceTooSlow(PaceMeter& pace, unsigned long long now);

// The next moment PaceTooSlow may change its answer without a byte taken.
unsigned long long NextPaceCheck(const PaceMeter& pace);
