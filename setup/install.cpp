// Writes the registry record and creates or reconfigures the watchdog service.
#include "install.h"

#include <cstring>

#include "event_source.h"
#include "log_folders.h"
#include "scoped_handle.h"
#include "security_descriptor.h"

namespace {

constexpr char kDescription[] = "Installed by Dromlet";
// Enough for the watchdog and the launcher: neither uses a privilege, and
// under a lesser account the watchdog changes no owner or DACL.
constexpr char kLesserAccountPrivilege[] = "SeChangeNotifyPrivilege";
constexpr DWORD kFailureResetSeconds = 86400;
constexpr DWORD kRestartDelayMs = 5000;

// `path` made full against the working folder; unchanged when that fails.
std::string FullPath(const std::string& path)
{
    const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::string full(needed, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    return full;
}

}  // namespace

SetServiceSecurityFunction g_setServiceSecurity = SetServiceObjectSecurity;

void BuildServiceExtraConfig(ServiceExtraConfig& config, bool lesserAccount)
{
    std::memset(&config, 0, sizeof config);
    std::strcpy(config.description, kDescription);
    config.descriptionInfo.lpDescription = config.description;
    config.delayedStart.fDelayedAutostart = TRUE;
    for (SC_ACTION& action : config.actions) {
        action.Type = SC_ACTION_RESTART;
        action.Delay = kRestartDelayMs;
    }
    config.failureActions.dwResetPeriod = kFailureResetSeconds;
    config.failureActions.lpRebootMsg = nullptr;
    config.failureActions.lpCommand = nullptr;
    config.failureActions.cActions = 3;
    config.failureActions.lpsaActions = config.actions;
    // LocalSystem: no SID of its own and an empty list, which lifts the limit.
    config.sidInfo.dwServiceSidType = lesserAccount ? SERVICE_SID_TYPE_UNRESTRICTED : SERVICE_SID_TYPE_NONE;
    if (lesserAccount)
        std::strcpy(config.privileges, kLesserAccountPrivilege);
    config.privilegesInfo.pmszRequiredPrivileges = config.privileges;
}

void StripEnclosingQuotes(std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
}

bool ProtectRecordKey()
{
    const ScopedDescriptor descriptor(DescriptorFromSddl(kRecordKeySddl));
    if (!descriptor) {
        ReportLastError("ConvertStringSecurityDescriptorToSecurityDescriptor: ");
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG created =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                        KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, &attributes, &key, &disposition);
    if (created != ERROR_SUCCESS) {
        WriteError("RegCreateKeyEx: " + std::to_string(created) + "\n");
        return false;
    }
    ScopedKey scopedKey(key);
    if (disposition == REG_CREATED_NEW_KEY)
        return true;
    const LONG secured = RegSetKeySecurity(
        key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        descriptor.get());
    if (secured != ERROR_SUCCESS) {
        WriteError("RegSetKeySecurity: " + std::to_string(secured) + "\n");
        return false;
    }
    return true;
}

bool WriteRegistryString(const char* valueName, const std::string& value)
{
    HKEY key = nullptr;
    const LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                                         KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) {
        WriteError("RegCreateKeyEx: " + std::to_string(created) + "\n");
        return false;
    }
    ScopedKey scopedKey(key);
    const LONG set = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>(value.size() + 1));
    scopedKey.reset();
    if (set != ERROR_SUCCESS) {
        WriteError("RegSetValueEx: " + std::to_string(set) + "\n");
        return false;
    }
    return true;
}

std::string QuoteArgument(const std::string& text)
{
    if (text.empty())
        return "\"\"";
    if (text.find_first_of(" \"") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string BuildServiceCommandLine(const std::string& serviceExePath, const std::string& contentRoot)
{
    return QuoteArgument(serviceExePath) + " --root " + QuoteArgument(contentRoot);
}

bool CreateOrUpdateService(const std::string& serviceName, const std::string& displayName,
                           const std::string& commandLine, const ServiceAccount* account)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    // Null for both: LocalSystem when created, unchanged when reconfigured.
    const char* startName = account != nullptr ? account->startName : nullptr;
    const char* password = account != nullptr ? account->password : nullptr;
    // SERVICE_START as well: without it the manager refuses restart failure
    // actions, and a reinstall would keep the old ones silently.
    ScopedService service(OpenServiceA(manager.get(), serviceName.c_str(),
                                       SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | WRITE_DAC));
    if (!service) {
        // Whatever kept it from opening, creating it either succeeds or
        // reports why it cannot.
        service.reset(CreateServiceA(manager.get(), serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, startName, password));
        if (!service) {
            ReportLastError("CreateService: ");
            return false;
        }
    } else if (!ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, startName, password,
                                     displayName.c_str())) {
        ReportLastError("ChangeServiceConfig: ");
        return false;
    }

    // Every setting before the DACL, so that a refused DACL still leaves a
    // complete service. Their results are not examined: Wine refuses the
    // delayed start, the service SID and the privileges (124).
    ServiceExtraConfig extra;
    BuildServiceExtraConfig(extra, account != nullptr && account->lesser);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &extra.descriptionInfo);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &extra.delayedStart);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &extra.failureActions);
    if (account != nullptr) {
        ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &extra.sidInfo);
        ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &extra.privilegesInfo);
    }

    const ScopedDescriptor descriptor(DescriptorFromSddl(kServiceSddl));
    if (!descriptor || !g_setServiceSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor.get())) {
        ReportLastError("SetServiceObjectSecurity: ");
        return false;
    }
    return true;
}

bool InstallService(SetupOptions& options)
{
    StripEnclosingQuotes(options.contentRoot);
    StripEnclosingQuotes(options.serviceExePath);
    StripEnclosingQuotes(options.serverExePath);
    // The service's command line must name its program by a full path: the
    // service manager starts it from its own working folder.
    options.serviceExePath = FullPath(options.serviceExePath);

    if (GetFileAttributesA(options.serviceExePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        WriteError("install: service exe not found: " + options.serviceExePath + "\n");
        return false;
    }
    if (!options.contentRoot.empty() && options.contentRoot.back() != '\\' && options.contentRoot.back() != '/')
        options.contentRoot += '\\';

    if (!ProtectRecordKey())
        return false;
    if (!WriteRegistryString("ServerExePath", options.serverExePath))
        return false;
    if (!WriteRegistryString("ContentRoot", options.contentRoot))
        return false;
    if (!CreateOrUpdateService(options.serviceName, options.displayName,
                               BuildServiceCommandLine(options.serviceExePath, options.contentRoot),
                               options.account))
        return false;
    if (!AddEventSource(options.serviceExePath))
        return false;
    // After the service: its stored account says who will write the log.
    return PrepareLogFolders(options.serviceName);
}
