// The monitor loop: registry read, running test and launch once a cycle,
// then a wait on the stop event in slices.
#include "monitor.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <memory>

#include "health_check.h"
#include "launcher_output.h"
#include "launcher_owner.h"
#include "log.h"
#include "scoped_handle.h"

std::atomic<bool> KeepRunning{false};
HANDLE StopEvent = nullptr;
std::wstring TargetPath;
HANDLE(WINAPI* g_openLauncherToEnd)(DWORD access, BOOL inherit, DWORD id) = OpenProcess;

namespace {

// The launcher that this thread started last. Its handles stay open until
// the next launch or the end of the thread.
struct LaunchedProcess {
    ScopedHandle process;
    ScopedHandle thread;
    DWORD startTick = 0;

    // Its standard output and error, read into the log while it runs. The
    // budget is this thread's, for every launcher it starts.
    LauncherOutput output;
    std::shared_ptr<OutputBudget> outputBudget;

    // The opt-in health check of the launcher that runs from TargetPath,
    // whoever started it.
    HealthCheck health;
};

// How the wait between two cycles ended.
enum class WaitEnd { Stopped, CycleDue, LauncherEnded, Unhealthy };

bool ReadServerExePath(std::wstring& value)
{
    HKEY opened = nullptr;
    const LONG openResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    if (openResult != ERROR_SUCCESS) {
        WriteLog(L"RegOpenKeyExW failed rc=%ld", openResult);
        return false;
    }
    ScopedKey key(opened);
    wchar_t buffer[kRegistryValueUnits] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    const LONG rc = RegGetValueW(key.get(), nullptr, kServerExePathValue, RRF_RT_REG_SZ, &type, buffer, &size);
    key.reset();
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        WriteLog(L"RegGetValueW '%s' failed rc=%ld type=%lu", kServerExePathValue, rc, type);
        return false;
    }
    value = buffer;
    return true;
}

// Absent, of another type or another number: the plain minute cycle, and
// nothing logged, as before the value existed.
bool RelaunchOnExitSet()
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return false;
    ScopedKey key(opened);
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(key.get(), nullptr, kRelaunchOnExitValue, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
               ERROR_SUCCESS &&
           value == 1;
}

bool RunsFrom(HANDLE process, const std::wstring& fullTarget)
{
    wchar_t image[kImagePathUnits];
    DWORD size = kImagePathUnits;
    if (!QueryFullProcessImageNameW(process, 0, image, &size))
        return false;
    const std::wstring fullImage = NormalisedPath(image);
    return !fullImage.empty() && StrCmpIW(fullImage.c_str(), fullTarget.c_str()) == 0;
}

// Calls `visit(process, id)` for each process running from TargetPath that
// counts as the server (IsServerProcess), opened with `access`, until it
// returns true; true when one did. The path and the owner are read from the
// handle that `visit` gets, so what is acted on is what was checked.
template <typename Visit>
bool VisitTargetProcesses(DWORD access, Visit visit)
{
    const std::wstring fullTarget = NormalisedPath(TargetPath.c_str());
    if (fullTarget.empty())
        return false;
    // Only a process of the target's file name can run from it; the snapshot
    // carries that name, so no other process is opened.
    const wchar_t* targetName = PathFindFileNameW(fullTarget.c_str());
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (StrCmpIW(entry.szExeFile, targetName) != 0)
            continue;
        ScopedHandle process(OpenProcess(access, FALSE, entry.th32ProcessID));
        if (process && RunsFrom(process.get(), fullTarget) &&
            IsServerProcess(process.get(), entry.th32ProcessID, TargetPath.c_str()) &&
            visit(process.get(), entry.th32ProcessID))
            return true;
    }
    return false;
}

// Each process running from TargetPath is terminated and waited for up to
// 5 s, together with the stop event; false when the stop came first. When
// one cannot be ended, the tally stays, so that the next failed probe tries
// again rather than waiting for a pass that a hung server never gives.
bool EndUnhealthyLaunchers(HANDLE stopEvent, HealthCheck& health)
{
    bool allEnded = true;
    const bool stopped = VisitTargetProcesses(PROCESS_QUERY_LIMITED_INFORMATION, [&](HANDLE, DWORD id) {
        WriteLog(L"Health check failed %lu times; ending '%s' (PID=%lu)", health.failures, TargetPath.c_str(), id);
        // The visit's open handle keeps `id` from naming another process meanwhile.
        ScopedHandle process(g_openLauncherToEnd(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!process || !TerminateProcess(process.get(), 0)) {
            WriteLog(L"Health check could not end PID=%lu err=%lu", id, GetLastError());
            allEnded = false;
            return false;
        }
        const HANDLE handles[] = {stopEvent, process.get()};
        return WaitForMultipleObjects(2, handles, FALSE, kEndedLauncherWaitMs) == WAIT_OBJECT_0;
    });
    if (allEnded)
        ResetHealthCheck(health);
    return !stopped;
}

// Its output is logged up to its end; then its handles go, since its end has
// been acted on and a cycle that finds another process running starts none
// to watch. A probe in flight was about it, not about the next one.
void ReportLauncherEnd(LaunchedProcess& launched, const wchar_t* format)
{
    FinishOutputReader(launched.output, kOutputDrainMs);
    DWORD exitCode = 0;
    GetExitCodeProcess(launched.process.get(), &exitCode);
    WriteLog(format, GetProcessId(launched.process.get()), exitCode);
    launched.thread.reset();
    launched.process.reset();
    ResetHealthCheck(launched.health);
}

void ReportEndedLauncher(LaunchedProcess& launched)
{
    if (launched.process && WaitForSingleObject(launched.process.get(), 0) == WAIT_OBJECT_0)
        ReportLauncherEnd(launched, L"Launcher ended (PID=%lu, exit code %lu)");
}

void Relaunch(LaunchedProcess& launched)
{
    // The old launcher, if any, is left running; only our handles and our
    // end of its pipe go.
    FinishOutputReader(launched.output, 0);
    launched.thread.reset();
    launched.process.reset();
    PROCESS_INFORMATION created = {};
    ScopedHandle pipe;
    if (LaunchTarget(&created, &pipe)) {
        launched.process.reset(created.hProcess);
        launched.thread.reset(created.hThread);
        launched.startTick = GetTickCount();
        StartOutputReader(launched.output, pipe, created.dwProcessId, launched.outputBudget);
    }
}

// True when TargetPath names a launcher to look for.
bool RunCycle(LaunchedProcess& launched)
{
    std::wstring value;
    if (ReadServerExePath(value)) {
        TargetPath = value;
        WriteLog(L"Registry path loaded: %s", TargetPath.c_str());
        if (!TargetPath.empty()) {
            // A relative path would be looked for in the service's own
            // working folder, which is not where an administrator meant.
            if (!IsFullPath(TargetPath)) {
                WriteLog(L"Target path is not a full path: %s", TargetPath.c_str());
                return false;
            }
            if (!IsTargetRunning()) {
                ReportEndedLauncher(launched);
                WriteLog(L"Target not running; starting: %s", TargetPath.c_str());
                Relaunch(launched);
            }
            return true;
        }
    }
    WriteLog(L"No target path in registry yet; will retry");
    return false;
}

// Waits up to `slices` slices for the stop event and, when `launcher` is
// given, for its end. A launcher that ended sooner than kSlicesBeforeEarlyCycle
// slices after its start ends the wait only that long after its start, so
// that one which keeps dying is started at most that often. With `health`,
// the health check takes its step before each slice; so does the count of
// dropped output lines.
WaitEnd WaitForNextCycle(HANDLE stopEvent, HANDLE launcher, DWORD launcherStartTick, DWORD sliceMs, unsigned slices,
                         HealthCheck* health, OutputBudget& outputBudget)
{
    const DWORD earlyGapMs = sliceMs * kSlicesBeforeEarlyCycle;
    bool launcherEnded = false;
    for (unsigned slice = 0; slice < slices; ++slice) {
        if (!KeepRunning.load())
            return WaitEnd::CycleDue;
        LogDroppedOutput(outputBudget, false);
        if (health != nullptr && HealthCheckStep(*health, sliceMs))
            return WaitEnd::Unhealthy;
        DWORD waitMs = sliceMs;
        if (launcherEnded) {
            const DWORD sinceStartMs = GetTickCount() - launcherStartTick;
            waitMs = sinceStartMs < earlyGapMs ? std::min(waitMs, earlyGapMs - sinceStartMs) : 0;
        }
        const HANDLE handles[] = {stopEvent, launcher};
        const DWORD count = launcher != nullptr && !launcherEnded ? 2 : 1;
        const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, waitMs);
        if (woken == WAIT_OBJECT_0)
            return WaitEnd::Stopped;
        launcherEnded = launcherEnded || woken == WAIT_OBJECT_0 + 1;
        if (launcherEnded && GetTickCount() - launcherStartTick >= earlyGapMs)
            return WaitEnd::LauncherEnded;
    }
    return WaitEnd::CycleDue;
}

}  // namespace

std::wstring NormalisedPath(const wchar_t* path)
{
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path, static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (length == 0)
            return {};
        // Too small a buffer brings the size needed, terminator included.
        const bool fitted = length < full.size();
        full.resize(length);
        if (fitted)
            return full;
    }
}

bool IsFullPath(const std::wstring& path)
{
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() < 3)
        return false;
    const bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    const bool drivePath = letter && path[1] == L':' && separator(path[2]);
    const bool uncPath = separator(path[0]) && separator(path[1]) && !separator(path[2]);
    return drivePath || uncPath;
}

bool IsTargetRunning()
{
    return VisitTargetProcesses(PROCESS_QUERY_LIMITED_INFORMATION, [](HANDLE, DWORD) { return true; });
}

bool FindTargetLauncher(DWORD& id, ULONGLONG& created)
{
    return VisitTargetProcesses(PROCESS_QUERY_LIMITED_INFORMATION, [&](HANDLE process, DWORD processId) {
        FILETIME creation, exit, kernel, user;
        if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
            return false;
        id = processId;
        created = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
        return true;
    });
}

DWORD LaunchFlags(bool captured)
{
    return DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | (captured ? EXTENDED_STARTUPINFO_PRESENT : 0);
}

bool LaunchTarget(PROCESS_INFORMATION* record, ScopedHandle* outputPipe)
{
    wchar_t folder[kWorkingFolderUnits];
    const size_t copied = std::min<size_t>(TargetPath.size(), kWorkingFolderUnits - 1);
    TargetPath.copy(folder, copied);
    folder[copied] = L'\0';
    PathRemoveFileSpecW(folder);

    // No arguments: the launcher then reads the configuration beside itself.
    std::wstring commandLine = L"\"" + TargetPath + L"\"";
    LauncherStdio stdio;
    PrepareLauncherStdio(stdio);
    PROCESS_INFORMATION created = {};
    // The program is named on its own, so that no quote or blank in the
    // value can make the command line name another program or add arguments.
    if (!CreateProcessW(TargetPath.c_str(), &commandLine[0], nullptr, nullptr, stdio.captured,
                        LaunchFlags(stdio.captured), nullptr, folder, &stdio.startup.StartupInfo, &created)) {
        const DWORD error = GetLastError();
        WriteLog(L"CreateProcess failed for '%s' err=%lu", TargetPath.c_str(), error);
        return false;
    }
    // The launcher must hold the only writing end, so that its end closes the pipe.
    stdio.output.reset();
    stdio.input.reset();
    WriteLog(L"Launched '%s' (PID=%lu)", TargetPath.c_str(), created.dwProcessId);
    if (record != nullptr) {
        *record = created;
        if (outputPipe != nullptr)
            outputPipe->reset(stdio.pipe.release());
    } else {
        ScopedHandle thread(created.hThread);
        ScopedHandle process(created.hProcess);
    }
    return true;
}

void RunMonitorLoop(DWORD sliceMs, unsigned slicesPerCycle)
{
    WriteLog(L"Monitor thread started");
    KeepRunning.exchange(true);
    const HANDLE stopEvent = StopEvent;
    LaunchedProcess launched;
    launched.outputBudget = MakeOutputBudget(sliceMs * kSlicesPerMinute);
    while (KeepRunning.load()) {
        const bool targetUsable = RunCycle(launched);
        HealthCheck* health = LoadHealthCheck(launched.health, targetUsable) ? &launched.health : nullptr;
        const HANDLE watched = RelaunchOnExitSet() ? launched.process.get() : nullptr;
        const WaitEnd end = WaitForNextCycle(stopEvent, watched, launched.startTick, sliceMs, slicesPerCycle, health,
                                             *launched.outputBudget);
        if (end == WaitEnd::Stopped)
            break;
        if (end == WaitEnd::LauncherEnded)
            ReportLauncherEnd(launched, L"Launcher ended (PID=%lu, exit code %lu); checking now");
        if (end == WaitEnd::Unhealthy && !EndUnhealthyLaunchers(stopEvent, launched.health))
            break;
    }
    FinishOutputReader(launched.output, 0);
    LogDroppedOutput(*launched.outputBudget, true);
    WriteLog(L"Monitor thread exiting");
    if (launched.process) {
        // Not waited for: the service reports stopped right after this thread ends.
        TerminateProcess(launched.process.get(), 0);
        WriteLog(L"TerminateProcess issued");
    }
}

DWORD WINAPI MonitorThread(LPVOID)
{
    RunMonitorLoop(kWaitSliceMs, kSlicesPerCycle);
    return 0;
}
