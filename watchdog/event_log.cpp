// Events of the source ZorvaneISSvc in the Application log, throttled per cause.
#include "event_log.h"

#include "event_messages.h"
#include "log_security.h"

namespace {

struct Event {
    WORD type;
    DWORD id;
};
const Event kEvents[] = {
    {EVENTLOG_WARNING_TYPE, MSG_LOG_FELL_BACK},
    {EVENTLOG_ERROR_TYPE, MSG_LOG_UNUSABLE},
    {EVENTLOG_WARNING_TYPE, MSG_LOG_LINES_LOST},
};

struct CauseState {
    bool reported = false;
    ULONGLONG lastMs = 0;
    DWORD heldLines = 0;
};

// Its own lock: the log calls in with its lock held, and nothing here logs.
SRWLOCK EventLock = SRWLOCK_INIT;
CauseState Causes[sizeof kEvents / sizeof kEvents[0]];

bool WriteToEventLog(WORD type, DWORD eventId, const wchar_t* const* strings, WORD count)
{
    const HANDLE source = RegisterEventSourceW(nullptr, kLogServiceName);
    if (source == nullptr)
        return false;
    const BOOL written = ReportEventW(source, type, 0, eventId, nullptr, count, 0, const_cast<LPCWSTR*>(strings),
                                      nullptr);
    DeregisterEventSource(source);
    return written != FALSE;
}

}  // namespace

WriteEventFunction g_writeEvent = WriteToEventLog;
ULONGLONG (*g_eventClockMs)() = GetTickCount64;

void ReportLogTrouble(LogTrouble cause, const std::wstring& why, const std::wstring& where, DWORD lines)
{
    const size_t index = static_cast<size_t>(cause);
    AcquireSRWLockExclusive(&EventLock);
    CauseState& state = Causes[index];
    state.heldLines += lines;
    const ULONGLONG now = g_eventClockMs();
    const bool due = !state.reported || now - state.lastMs >= kLogTroubleIntervalMs;
    const DWORD total = state.heldLines;
    if (due) {
        state.reported = true;
        state.lastMs = now;
        state.heldLines = 0;
    }
    ReleaseSRWLockExclusive(&EventLock);
    if (!due)
        return;
    const std::wstring count = std::to_wstring(total);
    const wchar_t* strings[] = {why.c_str(), where.c_str(), count.c_str()};
    g_writeEvent(kEvents[index].type, kEvents[index].id, strings, 3);
}
