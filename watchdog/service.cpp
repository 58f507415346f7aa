// The service host: ServiceMain runs the monitor thread between the
// start-pending and the stopped report; CtrlHandler passes stops on to it.
#include "service.h"

#include <atomic>

#include "log.h"
#include "monitor.h"
#include "scoped_handle.h"

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
DWORD NextCheckPoint = 1;

namespace {

HANDLE ServiceMainDone = nullptr;
std::atomic<bool> ServiceMainEntered{false};

void ReportStartFailure(const wchar_t* format, DWORD error)
{
    WriteLog(format, error);
    ReportStatus(SERVICE_STOPPED, error, 0);
}

void RunServiceMain(DWORD argc, LPWSTR* argv)
{
    WriteLog(L"ServiceMain: starting (argc=%lu)", argc);
    for (DWORD i = 0; i < argc; ++i)
        WriteLog(L"  arg[%lu]=%s", i, argv[i]);

    StatusHandle = RegisterServiceCtrlHandlerW(kServiceName, CtrlHandler);
    if (StatusHandle == nullptr) {
        const DWORD error = GetLastError();
        WriteLog(L"RegisterServiceCtrlHandler failed: %lu", error);
        return;
    }
    ReportStatus(SERVICE_START_PENDING, 0, kPendingWaitHintMs);

    ScopedHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        ReportStartFailure(L"CreateEvent failed: %lu", GetLastError());
        return;
    }
    StopEvent = stopEvent.get();
    ScopedHandle monitor(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    if (!monitor) {
        ReportStartFailure(L"CreateThread failed: %lu", GetLastError());
        StopEvent = nullptr;
        return;
    }
    ReportStatus(SERVICE_RUNNING, 0, 0);

    WaitForSingleObject(monitor.get(), INFINITE);
    monitor.reset();
    StopEvent = nullptr;
    stopEvent.reset();
    ReportStatus(SERVICE_STOPPED, 0, 0);
    WriteLog(L"ServiceMain: stopped");
}

}  // namespace

void PrepareWatchdogProcess() { SetErrorMode(kWatchdogErrorMode); }

SERVICE_STATUS MakeStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        status.dwCheckPoint = NextCheckPoint++;
    status.dwWaitHint = waitHint;
    return status;
}

void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    SERVICE_STATUS status = MakeStatus(state, exitCode, waitHint);
    if (StatusHandle == nullptr)
        return;
    if (SetServiceStatus(StatusHandle, &status)) {
        WriteLog(L"Service status -> %lu", state);
    } else {
        const DWORD error = GetLastError();
        WriteLog(L"SetServiceStatus failed (state=%lu) err=%lu", state, error);
    }
}

void WINAPI CtrlHandler(DWORD control)
{
    const bool stopping = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    // The lines below come before the stop event is set, so their retries
    // could not see it.
    if (stopping)
        StopLogRetries();
    WriteLog(L"CtrlHandler: code=%lu", control);
    if (!stopping)
        return;
    // Stop-pending goes out before the monitor is told, so that it precedes
    // the stopped report.
    ReportStatus(SERVICE_STOP_PENDING, 0, kPendingWaitHintMs);
    KeepRunning.exchange(false);
    const HANDLE stopEvent = StopEvent;
    if (stopEvent != nullptr)
        SetEvent(stopEvent);
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    ServiceMainEntered.exchange(true);
    RunServiceMain(argc, argv);
    const HANDLE done = ServiceMainDone;
    if (done != nullptr)
        SetEvent(done);
}

bool RunServiceDispatcher(DWORD& error)
{
    ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ServiceMainDone = done.get();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    const bool dispatched = StartServiceCtrlDispatcherW(table) != FALSE;
    error = dispatched ? 0 : GetLastError();
    // The dispatcher returns as soon as the stopped report is out, while
    // ServiceMain may still be writing its last lines; the process must not
    // end under them.
    if (ServiceMainEntered.load() && done && WaitForSingleObject(done.get(), kServiceMainEndWaitMs) != WAIT_OBJECT_0) {
        // ServiceMain may still be about to signal the event: it stays open
        // for the rest of the process's life instead of closing under it.
        done.release();
        return dispatched;
    }
    ServiceMainDone = nullptr;
    return dispatched;
}
