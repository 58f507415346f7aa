// Start, stop and removal of the service, and the clean-up of leftover launchers.
#include "control.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>

#include "event_source.h"
#include "options.h"
#include "scoped_handle.h"

OpenServiceFunction g_openService = OpenServiceA;

namespace {

constexpr DWORD kPollIntervalMs = 200;
constexpr DWORD kStartLimitMs = 30000;
constexpr DWORD kUninstallStopLimitMs = 20000;
constexpr DWORD kLauncherExitWaitMs = 5000;
// The service's process ends a moment after the manager reports it stopped.
constexpr DWORD kServiceExitWaitMs = 10000;
constexpr DWORD kPathBufferSize = 1040;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed) != 0;
}

bool QueryState(SC_HANDLE service, DWORD& state)
{
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service, status))
        return false;
    state = status.dwCurrentState;
    return true;
}

// Polls until the service is in `wanted`; false when a query fails or more
// than `limitMs` have passed since `startTick`.
bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD startTick, DWORD limitMs)
{
    DWORD state = 0;
    if (!QueryState(service, state))
        return false;
    for (;;) {
        if (state == wanted)
            return true;
        if (GetTickCount() - startTick > limitMs)
            return false;
        Sleep(kPollIntervalMs);
        if (!QueryState(service, state))
            return false;
    }
}

// Only a service that does not exist counts as not installed; any other
// refusal is reported, so that a service left in place is never reported
// as stopped or removed.
enum class OpenResult { Opened, NotInstalled, Refused };

OpenResult OpenInstalledService(SC_HANDLE manager, DWORD access, ScopedService& service)
{
    service.reset(g_openService(manager, kServiceName, access));
    if (service)
        return OpenResult::Opened;
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        return OpenResult::NotInstalled;
    ReportLastError("OpenService: ");
    return OpenResult::Refused;
}

// The snapshot's file name in the code page of the recorded path, so that the
// comparison of names agrees with that of the full paths below.
bool SameFileName(const wchar_t* exeFile, const char* name)
{
    char narrow[2 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, exeFile, -1, narrow, sizeof narrow, nullptr, nullptr) == 0)
        return false;
    return _stricmp(narrow, name) == 0;
}

bool ReadRecordedLauncherPath(char (&path)[kPathBufferSize])
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    ScopedKey scopedKey(key);
    DWORD type = 0;
    DWORD size = kPathBufferSize;
    const LONG read = RegGetValueA(key, nullptr, "ServerExePath", RRF_RT_REG_SZ, &type, path, &size);
    return read == ERROR_SUCCESS && type == REG_SZ;
}

// The running service's process, for waiting on; none when the service does
// not run or cannot be asked.
HANDLE OpenServiceProcess()
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return nullptr;
    ScopedService service(g_openService(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    if (!service || !QueryStatus(service.get(), status) || status.dwProcessId == 0)
        return nullptr;
    return OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
}

}  // namespace

bool StartServiceAndWait(const std::string& serviceName)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    ScopedService service(g_openService(manager.get(), serviceName.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) {
        ReportLastError("OpenService: ");
        return false;
    }
    if (!StartServiceA(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        ReportLastError("StartService: ");
        return false;
    }
    return WaitForState(service.get(), SERVICE_RUNNING, GetTickCount(), kStartLimitMs);
}

bool StopServiceAndWait(DWORD limitMs)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    ScopedService service;
    const OpenResult opened = OpenInstalledService(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS, service);
    if (opened != OpenResult::Opened)
        return opened == OpenResult::NotInstalled;

    const DWORD startTick = GetTickCount();
    // A service that is not running refuses the request; the wait finds it stopped.
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return WaitForState(service.get(), SERVICE_STOPPED, startTick, limitMs);
}

int UninstallService()
{
    StopServiceAndWait(kUninstallStopLimitMs);

    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return 1;
    }
    ScopedService service;
    const OpenResult opened = OpenInstalledService(manager.get(), DELETE, service);
    if (opened == OpenResult::Refused)
        return 1;
    // A service that still runs is only marked for deletion; the manager
    // removes it once it stops.
    if (opened == OpenResult::Opened && !DeleteService(service.get())) {
        ReportLastError("DeleteService: ");
        return 1;
    }
    service.reset();
    manager.reset();

    char launcherPath[kPathBufferSize];
    if (ReadRecordedLauncherPath(launcherPath))
        TerminateLauncherProcesses(launcherPath);
    return RemoveEventSource() ? 0 : 1;
}

int ReleaseProgramFiles(const std::string& launcherPath)
{
    ScopedHandle serviceProcess(OpenServiceProcess());
    if (!StopServiceAndWait(kStopVerbLimitMs)) {
        WriteError(std::string("release: the service ") + kServiceName + " did not stop\n");
        return 1;
    }
    if (serviceProcess && WaitForSingleObject(serviceProcess.get(), kServiceExitWaitMs) != WAIT_OBJECT_0) {
        WriteError("release: the service program is still running\n");
        return 1;
    }
    int running = TerminateLauncherProcesses(launcherPath.c_str());
    char recordedPath[kPathBufferSize];
    if (ReadRecordedLauncherPath(recordedPath) && _stricmp(recordedPath, launcherPath.c_str()) != 0)
        running += TerminateLauncherProcesses(recordedPath);
    if (running > 0) {
        WriteError("release: launcher processes still running: " + std::to_string(running) + "\n");
        return 1;
    }
    return 0;
}

void ForEachProcessNamedAs(const char* path, DWORD access, const ProcessVisitor& visit)
{
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return;
    // Windows reads a slash as a backslash; the image paths it reports have backslashes.
    std::string launcherPath = path;
    std::replace(launcherPath.begin(), launcherPath.end(), '/', '\\');
    // Only processes of the launcher's file name are opened.
    const char* name = PathFindFileNameA(launcherPath.c_str());
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!SameFileName(entry.szExeFile, name))
            continue;
        ScopedHandle process(OpenProcess(access, FALSE, entry.th32ProcessID));
        char image[kPathBufferSize];
        DWORD size = kPathBufferSize;
        const bool fromPath = process && QueryFullProcessImageNameA(process.get(), 0, image, &size) &&
                              _stricmp(image, launcherPath.c_str()) == 0;
        visit(entry, process.get(), fromPath);
    }
}

int TerminateLauncherProcesses(const char* path)
{
    int running = 0;
    ForEachProcessNamedAs(path, PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                          [&running](const PROCESSENTRY32W&, HANDLE process, bool fromPath) {
                              if (!fromPath)
                                  return;
                              TerminateProcess(process, 0);
                              if (WaitForSingleObject(process, kLauncherExitWaitMs) != WAIT_OBJECT_0)
                                  ++running;
                          });
    return running;
}
