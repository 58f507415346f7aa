// Writes the registry record and creates or reconfigures the watchdog service.
#include "install.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "event_source.h"
#include "log_folders.h"
#include "scoped_handle.h"
#include "security_descriptor.h"

namespace {

constexpr char kDescription[] = "Installed by Dromlet";
// Lists of NUL-ended names; the literal's own NUL ends the list. The launcher
// inherits them with the watchdog's token: neither uses any other privilege.
// Under a lesser account the watchdog changes no owner or DACL.
constexpr char kLesserAccountPrivileges[] = "SeChangeNotifyPrivilege\0";
// Windows does not say that an empty list lifts the limit, so LocalSystem
// names what the log's takeover enables (ownership, restore).
constexpr char kLocalSystemPrivileges[] = "SeChangeNotifyPrivilege\0SeTakeOwnershipPrivilege\0SeRestorePrivilege\0";
constexpr DWORD kFailureResetSeconds = 86400;
constexpr DWORD kRestartDelayMs = 5000;
constexpr DWORD kMarkedForDeletePollMs = 500;

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
ChangeServiceConfig2Function g_changeServiceConfig2 = ChangeServiceConfig2A;
QueryServiceConfig2Function g_queryServiceConfig2 = QueryServiceConfig2A;

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
    config.sidInfo.dwServiceSidType = lesserAccount ? SERVICE_SID_TYPE_UNRESTRICTED : SERVICE_SID_TYPE_NONE;
    if (lesserAccount)
        std::memcpy(config.privileges, kLesserAccountPrivileges, sizeof kLesserAccountPrivileges);
    else
        std::memcpy(config.privileges, kLocalSystemPrivileges, sizeof kLocalSystemPrivileges);
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

namespace {

// A service marked for deletion is waited out by the caller; every other
// refusal is reported where it happens.
enum class ConfigResult { Done, Failed, MarkedForDelete };

ConfigResult Refused(const char* prefix, const char*& refusedBy)
{
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_MARKED_FOR_DELETE) {
        refusedBy = prefix;
        return ConfigResult::MarkedForDelete;
    }
    WriteError(ErrorLine(prefix, code));
    return ConfigResult::Failed;
}

// The names of a NUL-separated list, letter case and order ignored.
std::vector<std::string> PrivilegeNames(const char* list)
{
    std::vector<std::string> names;
    for (const char* name = list; name != nullptr && *name != '\0'; name += std::strlen(name) + 1) {
        std::string lower = name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        names.push_back(lower);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Listed(const char* list)
{
    std::string text;
    for (const char* name = list; name != nullptr && *name != '\0'; name += std::strlen(name) + 1)
        text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

// Sets one of the two settings that limit the service's token and reads it
// back. A level that the service manager does not support is passed over:
// Wine refuses both with 124, or with 87 when they are set in narrow form,
// and answers 124 when they are read.
ConfigResult SetAndCheck(SC_HANDLE service, DWORD level, void* info, const char*& refusedBy)
{
    const bool set = g_changeServiceConfig2(service, level, info) != FALSE;
    const DWORD refusal = set ? ERROR_SUCCESS : GetLastError();
    std::vector<BYTE> stored(4096);
    DWORD needed = 0;
    const bool read = g_queryServiceConfig2(service, level, stored.data(), static_cast<DWORD>(stored.size()), &needed);
    const DWORD readError = read ? ERROR_SUCCESS : GetLastError();
    if (refusal == ERROR_INVALID_LEVEL ||
        (readError == ERROR_INVALID_LEVEL && (set || refusal == ERROR_INVALID_PARAMETER)))
        return ConfigResult::Done;
    if (!set) {
        SetLastError(refusal);
        return Refused("ChangeServiceConfig2: ", refusedBy);
    }
    if (!read) {
        SetLastError(readError);
        return Refused("QueryServiceConfig2: ", refusedBy);
    }
    std::string kept;
    if (level == SERVICE_CONFIG_SERVICE_SID_INFO) {
        const DWORD asked = static_cast<SERVICE_SID_INFO*>(info)->dwServiceSidType;
        const DWORD storedType = reinterpret_cast<SERVICE_SID_INFO*>(stored.data())->dwServiceSidType;
        if (storedType != asked)
            kept = "service SID type " + std::to_string(storedType) + ", not " + std::to_string(asked);
    } else {
        const char* asked = static_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(info)->pmszRequiredPrivileges;
        const char* storedList =
            reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(stored.data())->pmszRequiredPrivileges;
        if (PrivilegeNames(storedList) != PrivilegeNames(asked))
            kept = "required privileges " + Listed(storedList) + ", not " + Listed(asked);
    }
    if (kept.empty())
        return ConfigResult::Done;
    WriteError("ChangeServiceConfig2: the service manager keeps " + kept + "\n");
    return ConfigResult::Failed;
}

ConfigResult ConfigureService(SC_HANDLE manager, const std::string& serviceName, const std::string& displayName,
                              const std::string& commandLine, const ServiceAccount* account, const char*& refusedBy)
{
    // Null for both: LocalSystem when created, unchanged when reconfigured.
    const char* startName = account != nullptr ? account->startName : nullptr;
    const char* password = account != nullptr ? account->password : nullptr;
    // SERVICE_START as well: without it the manager refuses restart failure
    // actions, and a reinstall would keep the old ones silently.
    ScopedService service(OpenServiceA(manager, serviceName.c_str(),
                                       SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                           SERVICE_START | WRITE_DAC));
    if (!service) {
        // Whatever kept it from opening, creating it either succeeds or
        // reports why it cannot.
        service.reset(CreateServiceA(manager, serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, startName, password));
        if (!service)
            return Refused("CreateService: ", refusedBy);
    } else if (!ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, startName, password,
                                     displayName.c_str())) {
        return Refused("ChangeServiceConfig: ", refusedBy);
    }

    // Every setting before the DACL, so that a refused DACL still leaves a
    // complete service. The first three results are not examined: Wine
    // refuses the delayed start (87 or 124).
    ServiceExtraConfig extra;
    BuildServiceExtraConfig(extra, account != nullptr && account->lesser);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &extra.descriptionInfo);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &extra.delayedStart);
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &extra.failureActions);
    if (account != nullptr) {
        ConfigResult result = SetAndCheck(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &extra.sidInfo, refusedBy);
        if (result == ConfigResult::Done)
            result = SetAndCheck(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &extra.privilegesInfo,
                                 refusedBy);
        if (result != ConfigResult::Done)
            return result;
    }

    const ScopedDescriptor descriptor(DescriptorFromSddl(kServiceSddl));
    if (!descriptor || !g_setServiceSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor.get())) {
        ReportLastError("SetServiceObjectSecurity: ");
        return ConfigResult::Failed;
    }
    return ConfigResult::Done;
}

}  // namespace

bool CreateOrUpdateService(const std::string& serviceName, const std::string& displayName,
                           const std::string& commandLine, const ServiceAccount* account)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    // A deleted service stays until the last handle to it is closed, such as
    // one held by the Services console.
    const DWORD startTick = GetTickCount();
    for (;;) {
        const char* refusedBy = nullptr;
        const ConfigResult result =
            ConfigureService(manager.get(), serviceName, displayName, commandLine, account, refusedBy);
        if (result != ConfigResult::MarkedForDelete)
            return result == ConfigResult::Done;
        if (GetTickCount() - startTick > kMarkedForDeleteWaitMs) {
            WriteError(ErrorLine(refusedBy, ERROR_SERVICE_MARKED_FOR_DELETE) + "install: the service " + serviceName +
                       " was deleted but is still held open; close the Services console and every other program "
                       "that has it open (or restart Windows), then run install again\n");
            return false;
        }
        Sleep(kMarkedForDeletePollMs);
    }
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
