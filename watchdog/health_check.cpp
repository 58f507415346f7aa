// The opt-in health check. The GET runs on a thread of its own with
// WinHTTP's time limits; the monitor only looks at it between wait slices,
// so a server that accepts and never answers cannot hold up a stop.
#include "health_check.h"

#include <winhttp.h>

#include <algorithm>
#include <atomic>

#include "log.h"
#include "monitor.h"

struct Probe {
    std::atomic<int> holders{2};  // the monitor and the probe's thread
    std::wstring url;
    DWORD limitMs = 0;
    ScopedHandle finished;
    // Written by the probe's thread before it signals `finished`.
    DWORD status = 0;
    const wchar_t* failedCall = nullptr;
    DWORD error = 0;
};

namespace {

struct InternetCloser {
    static bool IsValid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { WinHttpCloseHandle(h); }
};
using ScopedInternet = Scoped<HINTERNET, InternetCloser>;

bool Failed(Probe& probe, const wchar_t* call)
{
    probe.failedCall = call;
    probe.error = GetLastError();
    return false;
}

bool SetRequestOption(HINTERNET request, DWORD option, DWORD value)
{
    return WinHttpSetOption(request, option, &value, sizeof value) != FALSE;
}

// One GET; fills the status, or the call that failed and its error.
bool RunProbe(Probe& probe)
{
    HealthCheckTarget parts;
    if (!SplitHealthCheckUrl(probe.url, parts))
        return Failed(probe, L"WinHttpCrackUrl");
    ScopedInternet session(WinHttpOpen(L"ZorvaneISSvc health check", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return Failed(probe, L"WinHttpOpen");
    const int limit = static_cast<int>(probe.limitMs);
    if (!WinHttpSetTimeouts(session.get(), limit, limit, limit, limit))
        return Failed(probe, L"WinHttpSetTimeouts");
    ScopedInternet connection(WinHttpConnect(session.get(), parts.host.c_str(), parts.port, 0));
    if (!connection)
        return Failed(probe, L"WinHttpConnect");
    ScopedInternet request(WinHttpOpenRequest(connection.get(), L"GET", parts.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              parts.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        return Failed(probe, L"WinHttpOpenRequest");
    // A redirect's own status is the answer: following it would probe
    // another server. The service's account never logs on anywhere.
    if (!SetRequestOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER) ||
        !SetRequestOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH) ||
        !SetRequestOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, probe.limitMs))
        return Failed(probe, L"WinHttpSetOption");
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return Failed(probe, L"WinHttpSendRequest");
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return Failed(probe, L"WinHttpReceiveResponse");
    DWORD size = sizeof probe.status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &probe.status, &size, WINHTTP_NO_HEADER_INDEX))
        return Failed(probe, L"WinHttpQueryHeaders");
    return true;
}

DWORD WINAPI ProbeThread(LPVOID parameter)
{
    Probe* probe = static_cast<Probe*>(parameter);
    RunProbe(*probe);
    SetEvent(probe->finished.get());
    ReleaseProbe(probe);
    return 0;
}

std::wstring NoAnswerReason(DWORD limitMs) { return L"no answer within " + std::to_wstring(limitMs / 1000) + L" s"; }

DWORD ProbeLimitMs(const HealthCheck& check) { return std::min(kProbeLimitMs, check.intervalMs); }

unsigned SlicesFor(DWORD ms, DWORD sliceMs) { return std::max<unsigned>(1, (ms + sliceMs - 1) / sliceMs); }

void ReadSettings(HealthCheck& check)
{
    check.url.clear();
    check.intervalMs = kHealthCheckIntervalSetting.fallback * 1000;
    check.failuresToEnd = kHealthCheckFailuresSetting.fallback;
    check.maxStatus = kHealthCheckMaxStatusSetting.fallback;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return;
    ScopedKey key(opened);
    check.url = ReadStringSetting(key.get(), kHealthCheckUrlValue);
    check.intervalMs = 1000 * ReadDwordSetting(key.get(), kHealthCheckIntervalSetting);
    check.failuresToEnd = ReadDwordSetting(key.get(), kHealthCheckFailuresSetting);
    check.maxStatus = ReadDwordSetting(key.get(), kHealthCheckMaxStatusSetting);
}

// A result about a launcher that has been replaced since its probe started
// is no one's: it must not count against the new one.
bool ProbedLauncherStillRuns(const HealthCheck& check)
{
    DWORD id = 0;
    ULONGLONG created = 0;
    return FindTargetLauncher(id, created) && id == check.launcherId && created == check.launcherCreated;
}

// True when the launcher is to be ended. Failures before the first pass
// end nothing, so a wrong URL never has a good server killed in a loop.
bool TallyProbe(HealthCheck& check, bool passed, const std::wstring& reason)
{
    if (passed) {
        if (check.failures > 0)
            WriteLog(L"Health check passed again");
        check.passed = true;
        check.failures = 0;
        return false;
    }
    if (!check.passed) {
        if (!check.notPassedLogged)
            WriteLog(L"Health check has not passed yet: %s", reason.c_str());
        check.notPassedLogged = true;
        return false;
    }
    ++check.failures;
    WriteLog(L"Health check failed (%lu of %lu): %s", check.failures, check.failuresToEnd, reason.c_str());
    return check.failures >= check.failuresToEnd;
}

// The tally belongs to one launcher process and one URL.
void StartProbeForLauncher(HealthCheck& check)
{
    DWORD id = 0;
    ULONGLONG created = 0;
    if (!FindTargetLauncher(id, created)) {
        ResetHealthCheck(check);
        return;
    }
    if (id != check.launcherId || created != check.launcherCreated || check.url != check.talliedUrl) {
        ResetHealthCheck(check);
        check.launcherId = id;
        check.launcherCreated = created;
        check.talliedUrl = check.url;
    }
    // A launcher started less than half an interval ago may not listen yet,
    // and its first failure is the one logged.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG nowTime = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (nowTime - created < check.intervalMs * 10000ULL / 2)
        return;
    check.probe.reset(StartProbe(check.url, ProbeLimitMs(check)));
}

}  // namespace

Probe* StartProbe(const std::wstring& url, DWORD limitMs)
{
    Probe* probe = new Probe;
    probe->url = url;
    probe->limitMs = limitMs;
    probe->finished.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle thread(CreateThread(nullptr, 0, ProbeThread, probe, 0, nullptr));
    if (!thread) {
        Failed(*probe, L"CreateThread");
        probe->holders = 1;
        SetEvent(probe->finished.get());
    }
    return probe;
}

HANDLE ProbeFinished(const Probe& probe) { return probe.finished.get(); }

bool ProbePassed(const Probe& probe, DWORD maxStatus, std::wstring& reason)
{
    if (probe.failedCall == nullptr && probe.status >= 200 && probe.status <= maxStatus)
        return true;
    if (probe.failedCall == nullptr)
        reason = L"HTTP " + std::to_wstring(probe.status);
    // Wine's WinHTTP reports a receive time-out with the socket's own code.
    else if (probe.error == ERROR_WINHTTP_TIMEOUT || probe.error == WSAETIMEDOUT)
        reason = NoAnswerReason(probe.limitMs);
    else if (probe.error == ERROR_WINHTTP_CANNOT_CONNECT)
        reason = L"connection refused";
    else
        reason = std::wstring(probe.failedCall) + L" failed err=" + std::to_wstring(probe.error);
    return false;
}

void ReleaseProbe(Probe* probe)
{
    if (probe->holders.fetch_sub(1) == 1)
        delete probe;
}

bool LoadHealthCheck(HealthCheck& check, bool targetUsable)
{
    ReadSettings(check);
    HealthCheckTarget target;
    const bool usable = !check.url.empty() && SplitHealthCheckUrl(check.url, target);
    if (!check.url.empty() && !usable)
        WriteLog(L"Health check URL is not usable: %s", check.url.c_str());
    if (usable && targetUsable)
        return true;
    ResetHealthCheck(check);
    return false;
}

bool HealthCheckStep(HealthCheck& check, DWORD sliceMs)
{
    const unsigned elapsed = check.slicesSinceProbe++;
    if (check.probe) {
        std::wstring reason;
        bool passed = false;
        if (WaitForSingleObject(ProbeFinished(*check.probe.get()), 0) == WAIT_OBJECT_0)
            passed = ProbePassed(*check.probe.get(), check.maxStatus, reason);
        else if (elapsed < SlicesFor(ProbeLimitMs(check), sliceMs))
            return false;
        else
            reason = NoAnswerReason(ProbeLimitMs(check));
        check.probe.reset();
        if (ProbedLauncherStillRuns(check) && TallyProbe(check, passed, reason))
            return true;
    }
    if (elapsed < SlicesFor(check.intervalMs, sliceMs))
        return false;
    StartProbeForLauncher(check);
    check.slicesSinceProbe = 1;
    return false;
}

void ResetHealthCheck(HealthCheck& check)
{
    check.launcherId = 0;
    check.launcherCreated = 0;
    check.talliedUrl.clear();
    check.passed = false;
    check.notPassedLogged = false;
    check.failures = 0;
    check.probe.reset();
    check.slicesSinceProbe = 0;
}
