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
};

void BuildServiceExtraConfig(ServiceExtraConfig& config);

// Whoever may write ServerExePath chooses what SYSTEM runs: the record is
// changed by SYSTEM and Administrators only; Users may read it.
constexpr wchar_t kRecordKeySddl[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// The service: SYSTEM and Administrators as the service manager grants by
// default; interactive and service users may query and interrogate it, but
// not send it controls of their own (each would be a line in its log).
constexpr wchar_t kServiceSddl[] =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)";

void StripEnclosingQuotes(std::string& text);
// Creates the record's key with kRecordKeySddl, or gives an existing key that DACL.
bool ProtectRecordKey();
bool WriteRegistryString(const char* valueName, const std::string& value);
std::string QuoteArgument(const std::string& text);
std::string BuildServiceCommandLine(const std::string& serviceExePath, const std::string& contentRoot);
bool CreateOrUpdateService(const std::string& serviceName, const std::string& displayName,
                           const std::string& commandLine);

// Normalises the three paths of `options` in place (the service program's
// path made full), writes the registry
// record and creates or reconfigures the service; its diagnostics are on
// standard error when it returns false.
bool InstallService(SetupOptions& options);
