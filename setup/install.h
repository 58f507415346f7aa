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

void StripEnclosingQuotes(std::string& text);
bool WriteRegistryString(const char* valueName, const std::string& value);
std::string QuoteArgument(const std::string& text);
std::string BuildServiceCommandLine(const std::string& serviceExePath, const std::string& contentRoot);
bool CreateOrUpdateService(const std::string& serviceName, const std::string& displayName,
                           const std::string& commandLine);

// Normalises the three paths of `options` in place, writes the registry
// record and creates or reconfigures the service; its diagnostics are on
// standard error when it returns false.
bool InstallService(SetupOptions& options);
