// Installation: the registry record that the watchdog reads and the service
// entry that runs the watchdog.
#pragma once

#include <windows.h>

#include <string>

#include "options.h"

// The extra configuration records that every install passes to
// ChangeServiceConfig2A. `failureActions` points into `actions`, so the
// record is filled in place and not copied.
struct ServiceExtraConfig {
    char description[32];
    SERVICE_DESCRIPTIONA descriptionInfo;
    SERVICE_DELAYED_AUTO_START_INFO delayedStart;
    SC_ACTION actions[3];
    SERVICE_FAILURE_ACTIONSA failureActions;
    // Passed only when an account is chosen: a lesser account gets its own
    // service SID and SeChangeNotifyPrivilege alone; LocalSystem no SID of its
    // own and the privileges that the log's takeover enables.
    SERVICE_SID_INFO sidInfo;
    char privileges[80];  // a list of NUL-ended names, ended by one more NUL
    SERVICE_REQUIRED_PRIVILEGES_INFOA privilegesInfo;
};

void BuildServiceExtraConfig(ServiceExtraConfig& config, bool lesserAccount);

// Whoever may write ServerExePath chooses what the service runs: the record
// is changed by SYSTEM and Administrators only; Users may read it. The owner
// keeps an implicit WRITE_DAC, so it is Administrators, never whoever made the key.
constexpr wchar_t kRecordKeySddl[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// The service: SYSTEM and Administrators as the service manager grants by
// default; interactive and service users may query it but send it no control
// at all, not even an interrogation: the watchdog logs every control, so any
// user could grow its log without bound.
constexpr wchar_t kServiceSddl[] =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRC;;;IU)(A;;CCLCSWRC;;;SU)";

// The call that gives the service its DACL; a test puts another function here
// to provoke a refusal that Wine never gives.
using SetServiceSecurityFunction = BOOL(WINAPI*)(SC_HANDLE service, SECURITY_INFORMATION what,
                                                 PSECURITY_DESCRIPTOR descriptor);
extern SetServiceSecurityFunction g_setServiceSecurity;
// The calls that set and read back the service's extra settings, for the
// same reason: Wine supports neither the service SID nor the privileges.
using ChangeServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD level, LPVOID info);
using QueryServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD level, LPBYTE buffer, DWORD size,
                                                  LPDWORD needed);
extern ChangeServiceConfig2Function g_changeServiceConfig2;
extern QueryServiceConfig2Function g_queryServiceConfig2;
// How long install waits for a service marked for deletion to go.
constexpr DWORD kMarkedForDeleteWaitMs = 10000;

void StripEnclosingQuotes(std::string& text);
// Creates the record's key with kRecordKeySddl, or gives an existing key that owner and DACL.
bool ProtectRecordKey();
bool WriteRegistryString(const char* valueName, const std::string& value);
std::string QuoteArgument(const std::string& text);
std::string BuildServiceCommandLine(const std::string& serviceExePath, const std::string& contentRoot);
// A null `account` creates the service as LocalSystem and leaves an existing
// service's account, SID type and privileges as they are.
bool CreateOrUpdateService(const std::string& serviceName, const std::string& displayName,
                           const std::string& commandLine, const ServiceAccount* account);

// Normalises the three paths of `options` in place (the service program's
// path made full), writes the registry
// record and creates or reconfigures the service; its diagnostics are on
// standard error when it returns false.
bool InstallService(SetupOptions& options);
