// The service host: entry into the service control manager, status reports
// and the answer to stop and shutdown.
#pragma once

#include <windows.h>

constexpr wchar_t kServiceName[] = L"ZorvaneISSvc";
constexpr DWORD kPendingWaitHintMs = 3000;
// How long the entry waits, after the dispatcher has returned, for
// ServiceMain to write its last lines.
constexpr DWORD kServiceMainEndWaitMs = 5000;

extern SERVICE_STATUS_HANDLE StatusHandle;
extern DWORD NextCheckPoint;

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void WINAPI CtrlHandler(DWORD control);
void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// The record that ReportStatus sends; a pending state takes the next check point.
SERVICE_STATUS MakeStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// What the watchdog sets before anything else, and every launcher inherits:
// a loader or file error fails the call instead of waiting for an answer to
// a message box that nobody in session 0 can see.
constexpr UINT kWatchdogErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
void PrepareWatchdogProcess();

// Hands the one-service table to the dispatcher. Returns once the service
// has stopped and ServiceMain has finished; false with `error` set when the
// dispatcher could not start (the process was not started as a service).
bool RunServiceDispatcher(DWORD& error);
