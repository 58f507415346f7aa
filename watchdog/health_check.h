// The opt-in health check: an HTTP GET of HealthCheckUrl once an interval,
// on a thread of its own, and the tally that decides when the launcher
// that no longer answers is to be ended.
#pragma once

#include <windows.h>

#include <string>

#include "record_settings.h"
#include "scoped_handle.h"

constexpr DWORD kProbeLimitMs = 5000;  // or the interval, when that is shorter
// How long the monitor waits for each ended launcher to be gone.
constexpr DWORD kEndedLauncherWaitMs = 5000;

// One GET in flight. The thread that runs it holds the record too, so the
// monitor can drop it at any time without waiting.
struct Probe;
// Starts a GET of `url` without a proxy, every step of it limited to `limitMs`.
Probe* StartProbe(const std::wstring& url, DWORD limitMs);
// Signalled once the probe has its outcome.
HANDLE ProbeFinished(const Probe& probe);
// A finished probe's outcome: true for a status from 200 up to `maxStatus`;
// otherwise false with the reason ("HTTP 503", "connection refused", ...).
bool ProbePassed(const Probe& probe, DWORD maxStatus, std::wstring& reason);
void ReleaseProbe(Probe* probe);

struct ProbeReleaser {
    static bool IsValid(Probe* probe) { return probe != nullptr; }
    static void Close(Probe* probe) { ReleaseProbe(probe); }
};
using ScopedProbe = Scoped<Probe*, ProbeReleaser>;

// The check's state for the launcher it watches, kept across cycles.
struct HealthCheck {
    // This cycle's settings; an empty URL: no check.
    std::wstring url;
    DWORD intervalMs = kHealthCheckIntervalSetting.fallback * 1000;
    DWORD failuresToEnd = kHealthCheckFailuresSetting.fallback;
    DWORD maxStatus = kHealthCheckMaxStatusSetting.fallback;

    // The launcher process and URL that the tally below and the probe in
    // flight are for.
    DWORD launcherId = 0;
    ULONGLONG launcherCreated = 0;
    std::wstring talliedUrl;
    bool passed = false;
    bool notPassedLogged = false;
    DWORD failures = 0;

    ScopedProbe probe;
    unsigned slicesSinceProbe = 0;
};

// Reads the three values afresh and logs a URL that is not usable. True
// when a check is to run in this cycle's wait; otherwise the state is
// cleared and any probe in flight dropped.
bool LoadHealthCheck(HealthCheck& check, bool targetUsable);
// Called before each wait slice of `sliceMs`: takes the outcome of the probe
// in flight, or starts one once an interval has passed. True when
// HealthCheckFailures probes in a row have failed after a pass.
bool HealthCheckStep(HealthCheck& check, DWORD sliceMs);
// Forgets the launcher, its tally and its probe: after it was ended, or
// found ended.
void ResetHealthCheck(HealthCheck& check);
