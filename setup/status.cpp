// The state of the service, its launchers, the record's settings in effect
// and the last lines of the log, asked with query rights only, so that any
// user who may query the service can run it.
#include "status.h"

#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control.h"
#include "log_security.h"
#include "options.h"
#include "record_values.h"
#include "scoped_handle.h"

namespace {

constexpr size_t kLabelWidth = 18;
constexpr size_t kLogTailLines = 10;
// Ten lines fit many times over; only the end of a long log is read.
constexpr LONGLONG kLogTailBytes = 64 * 1024;

struct ServiceView {
    bool installed = false;
    DWORD state = 0;
    DWORD processId = 0;
    std::string account;
    DWORD startType = 0;
    bool delayed = false;
};

void AddLine(std::string& out, const char* label, const std::string& value)
{
    std::string line = label;
    line.resize(kLabelWidth, ' ');
    out += line + value + "\n";
}

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    case SERVICE_RUNNING:
        return "running";
    case SERVICE_CONTINUE_PENDING:
        return "continuing";
    case SERVICE_PAUSE_PENDING:
        return "pausing";
    case SERVICE_PAUSED:
        return "paused";
    default:
        return "unknown";
    }
}

std::string StartTypeName(const ServiceView& view)
{
    switch (view.startType) {
    case SERVICE_AUTO_START:
        return view.delayed ? "automatic, delayed" : "automatic";
    case SERVICE_DEMAND_START:
        return "manual";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return std::to_string(view.startType);
    }
}

// False when it cannot tell, after the error line; a service that does not
// exist is no failure.
bool QueryService(ServiceView& view)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    ScopedService service(OpenServiceA(manager.get(), kServiceName, kStatusServiceAccess));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        ReportLastError("OpenService: ");
        return false;
    }
    view.installed = true;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        ReportLastError("QueryServiceStatusEx: ");
        return false;
    }
    view.state = status.dwCurrentState;
    view.processId = status.dwProcessId;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                            needed, &needed)) {
        ReportLastError("QueryServiceConfig: ");
        return false;
    }
    view.account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : "";
    view.startType = config->dwStartType;
    // Wine refuses this level; its absence reads as no delay.
    SERVICE_DELAYED_AUTO_START_INFO delayed = {};
    view.delayed = QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                        reinterpret_cast<BYTE*>(&delayed), sizeof delayed, &needed) &&
                   delayed.fDelayedAutostart;
    return true;
}

// The launchers running from `path`. One that cannot be opened (on Windows a
// user may not open a process of LocalSystem) counts when the service started it.
std::vector<std::string> LauncherProcesses(const std::string& path, DWORD serviceProcessId)
{
    std::vector<std::string> found;
    ForEachProcessNamedAs(path.c_str(), PROCESS_QUERY_LIMITED_INFORMATION,
                          [&](const PROCESSENTRY32W& entry, HANDLE process, bool fromPath) {
                              const std::string pid = std::to_string(entry.th32ProcessID);
                              if (fromPath)
                                  found.push_back(pid);
                              else if (process == nullptr && serviceProcessId != 0 &&
                                       entry.th32ParentProcessID == serviceProcessId)
                                  found.push_back(pid + " (started by the service; its path cannot be read)");
                          });
    return found;
}

std::string HealthCheckText(const RecordInEffect& record)
{
    if (record.healthCheckUrl.empty())
        return "off";
    if (!record.healthCheckUsable)
        return record.healthCheckUrl + " (not an http or https URL: not probed)";
    return record.healthCheckUrl + ", every " + std::to_string(record.healthCheckIntervalSeconds) + " s, " +
           std::to_string(record.healthCheckFailures) + " failures in a row end the launcher, HTTP 200 to " +
           std::to_string(record.healthCheckMaxStatus) + " passes";
}

std::wstring LogPath()
{
    PWSTR known = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
    std::wstring path = SUCCEEDED(found) && known != nullptr ? known : L"";
    CoTaskMemFree(known);
    if (path.empty())
        return path;
    if (path.back() != L'\\')
        path += L'\\';
    return path + kLogCompanyFolder + L"\\" + kLogFolderName + L"\\" + kLogFileName;
}

// The system's text for `code` on one line.
std::string ReasonText(DWORD code)
{
    std::string text = ErrorLine("", code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

// The last lines of the log, in the console's code page; false with the
// reason when the caller may not read it.
bool LogTail(const std::wstring& path, std::vector<std::string>& lines, std::string& reason)
{
    // The service appends while this reads.
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        reason = ReasonText(GetLastError());
        return false;
    }
    LARGE_INTEGER start = {};
    start.QuadPart = size.QuadPart > kLogTailBytes ? size.QuadPart - kLogTailBytes : 0;
    std::string bytes(static_cast<size_t>(size.QuadPart - start.QuadPart), '\0');
    DWORD read = 0;
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
        (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))) {
        reason = ReasonText(GetLastError());
        return false;
    }
    bytes.resize(read);
    size_t begin = 0;
    if (start.QuadPart > 0)  // the first line is cut
        begin = bytes.find('\n') == std::string::npos ? bytes.size() : bytes.find('\n') + 1;
    while (begin < bytes.size()) {
        size_t end = bytes.find('\n', begin);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(NarrowText(WidenText(line, CP_UTF8), CP_ACP));
        begin = end + 1;
    }
    if (lines.size() > kLogTailLines)
        lines.erase(lines.begin(), lines.end() - kLogTailLines);
    return true;
}

}  // namespace

int ShowStatus()
{
    ServiceView view;
    if (!QueryService(view))
        return kStatusCannotTell;
    const RecordInEffect record = ReadRecordInEffect();

    std::string out;
    const std::string service = std::string(kServiceName) + ": ";
    std::vector<std::string> launchers;
    if (!view.installed) {
        AddLine(out, "Service", service + "not installed");
    } else {
        AddLine(out, "Service", service + StateName(view.state));
        AddLine(out, "Process id", view.processId != 0 ? std::to_string(view.processId) : "none");
        AddLine(out, "Account", view.account);
        AddLine(out, "Start type", StartTypeName(view));
    }
    AddLine(out, "ServerExePath", record.serverExePath.empty() ? "not recorded" : record.serverExePath);
    if (!record.serverExePath.empty())
        launchers = LauncherProcesses(record.serverExePath, view.processId);
    std::string pids;
    for (const std::string& pid : launchers)
        pids += (pids.empty() ? "" : ", ") + pid;
    AddLine(out, "Launchers", pids.empty() ? "none" : pids);
    AddLine(out, "Relaunch on exit", record.relaunchOnExit ? "on" : "off");
    AddLine(out, "Health check", HealthCheckText(record));
    AddLine(out, "Log limit",
            record.logMaxSizeMB == 0 ? "off (the log only grows)"
                                     : std::to_string(record.logMaxSizeMB) + " MB, " +
                                           std::to_string(record.logKeepFiles) + " older files kept");
    const std::wstring logPath = LogPath();
    std::vector<std::string> tail;
    std::string reason;
    if (logPath.empty()) {
        AddLine(out, "Log", "unknown (no ProgramData folder)");
    } else if (!LogTail(logPath, tail, reason)) {
        AddLine(out, "Log", NarrowText(logPath, CP_ACP) + " (cannot be read: " + reason + ")");
    } else {
        AddLine(out, "Log", NarrowText(logPath, CP_ACP));
        for (const std::string& line : tail)
            out += "  " + line + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);

    if (!view.installed)
        return kStatusNotInstalled;
    return view.state == SERVICE_RUNNING && !launchers.empty() ? kStatusServing : kStatusNotServing;
}
