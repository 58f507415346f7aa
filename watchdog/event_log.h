// The Windows Event Log as the channel of last resort: an event only when the
// service log cannot be written, at most one per cause an hour. A healthy
// service writes none.
#pragma once

#include <windows.h>

#include <string>

enum class LogTrouble {
    FellBack,     // at start: the log is kept in the temporary folder
    NoUsableLog,  // no log can be written at all
    LinesLost,    // lines reached only the debugger output
};

constexpr ULONGLONG kLogTroubleIntervalMs = 60ull * 60 * 1000;

// `why`, `where` and `lines` are the event's strings %1 to %3. The lines of
// calls held back within the hour are added to the next event of the cause.
void ReportLogTrouble(LogTrouble cause, const std::wstring& why, const std::wstring& where, DWORD lines = 0);

// What writes the event and what tells the time; tests replace them.
using WriteEventFunction = bool (*)(WORD type, DWORD eventId, const wchar_t* const* strings, WORD count);
extern WriteEventFunction g_writeEvent;
extern ULONGLONG (*g_eventClockMs)();
