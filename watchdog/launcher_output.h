// The launcher's standard output and error: one pipe that a reader thread
// turns into "Launcher output (PID=%lu): %s" lines of the service log.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "scoped_handle.h"

// At most this many output lines of all the launchers of one monitor in any
// hour reach the log; the others are counted, and one line at the end of a
// minute that began with such a line says how many.
constexpr unsigned kOutputLinesPerHour = 100;
constexpr unsigned kMinutesPerHour = 60;
constexpr DWORD kOutputReadBytes = 65536;
// Room for what a launcher writes while the reader writes one of its lines
// to the log, the only time it does not read.
constexpr DWORD kOutputPipeBytes = 1 << 20;
// How long the rest of an ended launcher's output is waited for, and how
// long a reader told to finish may take.
constexpr DWORD kOutputDrainMs = 1000;
constexpr DWORD kOutputReaderEndMs = 2000;

// Only the service's own account (the pipe's owner), SYSTEM and
// Administrators may open the pipe, so that no user can take the launcher's
// end first.
constexpr wchar_t kOutputPipeSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";
// With `ownerSid` (LesserAccountOwner), that SID owns the pipe: under a
// shared account, no other service of it may then open the pipe or change
// its DACL.
inline std::wstring OutputPipeSddl(const std::wstring& ownerSid)
{
    return (ownerSid.empty() ? std::wstring() : L"O:" + ownerSid) + kOutputPipeSddl;
}

// What a launcher is started with: input from NUL, output and error into
// the pipe, and a handle list so that only these two are inherited.
struct LauncherStdio {
    ScopedHandle input;
    ScopedHandle output;
    ScopedHandle pipe;  // the service's end, read overlapped
    HANDLE inherited[2] = {};
    std::vector<char> attributes;
    STARTUPINFOEXW startup = {};
    bool captured = false;  // false: started without handles, as before the pipe

    LauncherStdio() = default;
    LauncherStdio(const LauncherStdio&) = delete;
    LauncherStdio& operator=(const LauncherStdio&) = delete;
    ~LauncherStdio();
};

// Fills `stdio`; a failure is logged and leaves it uncaptured, with a plain
// STARTUPINFOW.
void PrepareLauncherStdio(LauncherStdio& stdio);

struct OutputReader;

// The output lines that may still reach the log, shared by every reader of
// one monitor, so that a launcher started again gets no fresh hour; a
// minute lasts `minuteMs`.
struct OutputBudget;
std::shared_ptr<OutputBudget> MakeOutputBudget(DWORD minuteMs);
// Writes "Launcher output (PID=%lu): %lu more lines not logged" once the
// minute of the first line dropped since the last such line is over, or at
// once with `now`; the PID is that of the last launcher whose line was dropped.
void LogDroppedOutput(OutputBudget& budget, bool now);

// The reader of one launcher's pipe: it reads until the pipe closes or it
// is told to finish.
struct LauncherOutput {
    ScopedHandle thread;
    std::unique_ptr<OutputReader> reader;

    LauncherOutput();
    LauncherOutput(const LauncherOutput&) = delete;
    LauncherOutput& operator=(const LauncherOutput&) = delete;
    ~LauncherOutput();
};

// Starts reading `pipe` (taken over) for the launcher `processId`, its
// lines charged to `budget`. Without a pipe nothing is read.
void StartOutputReader(LauncherOutput& output, ScopedHandle& pipe, DWORD processId,
                       const std::shared_ptr<OutputBudget>& budget);
// Waits up to `drainMs` for the pipe to close, then tells the reader to
// finish: what it has read is in the log when this returns.
void FinishOutputReader(LauncherOutput& output, DWORD drainMs);
