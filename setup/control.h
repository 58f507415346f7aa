// Starting, stopping and removing the installed service.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <functional>
#include <string>

constexpr DWORD kStopVerbLimitMs = 30000;

// The call that opens a service for start, stop and removal; a test puts
// another function here to provoke refusals that it cannot cause otherwise.
using OpenServiceFunction = SC_HANDLE(WINAPI*)(SC_HANDLE manager, LPCSTR name, DWORD access);
extern OpenServiceFunction g_openService;

bool StartServiceAndWait(const std::string& serviceName);
// True when the service has stopped or is not installed.
bool StopServiceAndWait(DWORD limitMs);
// The exit status: 0 when the service is deleted or absent and its event
// source removed, else 1.
int UninstallService();
// Frees the program files for an upgrade: stops the service, ends every
// launcher running from `launcherPath` or the recorded path, and waits until
// they and the service's process have ended. The exit status: 0, or 1 after
// a line on standard error.
int ReleaseProgramFiles(const std::string& launcherPath);
// Ends every process running from `path`; returns how many of them had not
// ended after their wait.
int TerminateLauncherProcesses(const char* path);
// Calls `visit` for every process whose file name is that of `path`, with
// the process opened with `access` (null when it cannot be) and whether its
// image is `path` (ASCII case ignored, a slash read as a backslash).
using ProcessVisitor = std::function<void(const PROCESSENTRY32W& entry, HANDLE process, bool fromPath)>;
void ForEachProcessNamedAs(const char* path, DWORD access, const ProcessVisitor& visit);
