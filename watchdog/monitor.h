// The monitor: keeps the launcher named by ServerExePath running and
// terminates the one it started when the service stops.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "record_settings.h"
#include "scoped_handle.h"

constexpr DWORD kWaitSliceMs = 1000;
constexpr unsigned kSlicesPerCycle = 60;
// The minute by which the launcher's dropped output lines are counted.
constexpr unsigned kSlicesPerMinute = 60;
// With RelaunchOnExit, a launcher that ends is started again at once, but
// never sooner than this many slices after its last start.
constexpr unsigned kSlicesBeforeEarlyCycle = 10;

constexpr int kRegistryValueUnits = 1040;  // at most 1039 characters are accepted
constexpr int kImagePathUnits = 1040;
constexpr int kWorkingFolderUnits = 1040;

// Shared with the service host: cleared, then StopEvent (manual reset) is set.
extern std::atomic<bool> KeepRunning;
extern HANDLE StopEvent;
// The launcher path of the last successful registry read.
extern std::wstring TargetPath;
// How the health check opens a launcher to end it (OpenProcess); tests
// replace it to see what a launcher that cannot be ended does.
extern HANDLE(WINAPI* g_openLauncherToEnd)(DWORD access, BOOL inherit, DWORD id);

// Thread procedure: cycles of 60 slices of 1000 ms until the stop; with
// RelaunchOnExit 1, also a cycle when the launcher it started ends; with
// HealthCheckUrl, also one when the launcher no longer answers.
DWORD WINAPI MonitorThread(LPVOID parameter);
// The loop behind MonitorThread, with the wait slice and the slices per cycle given.
void RunMonitorLoop(DWORD sliceMs, unsigned slicesPerCycle);

// `path` as a full path (GetFullPathNameW) of any length; empty on failure.
std::wstring NormalisedPath(const wchar_t* path);
// A drive letter with a separator ("C:\\..."), or a UNC path ("\\\\server\\...").
bool IsFullPath(const std::wstring& path);
// True when some process runs from TargetPath (full paths, case ignored)
// and counts as the server (IsServerProcess: SYSTEM, this account, an administrator).
bool IsTargetRunning();
// The first such process: its id and creation time.
bool FindTargetLauncher(DWORD& id, ULONGLONG& created);
// The creation flags of a launch: no console of its own (its standard
// handles are the pipe's or none), a process group of its own, and the
// watchdog's error mode inherited.
DWORD LaunchFlags(bool captured);
// Starts TargetPath in its own folder without arguments, its output and
// error into a pipe; on success the new process's handles go to `record`,
// or are closed when it is null, and the service's end of the pipe goes to
// `outputPipe` (left empty when the pipe could not be made).
bool LaunchTarget(PROCESS_INFORMATION* record, ScopedHandle* outputPipe);
