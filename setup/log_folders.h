// The service log's folders, made ready by install for a service that runs
// under a lesser account: such a service may not change an owner or a DACL.
#pragma once

#include <string>

// Reads the account stored for the service `serviceName`. For any account
// but LocalSystem, creates Tovimar and Tovimar\ZorvaneService under
// ProgramData with the log's protected descriptor, or gives existing ones
// its owner and DACL, the last folder with the service SID's entries; an
// existing service.log gets the log file's. For LocalSystem nothing: the
// watchdog secures them itself. False with the diagnostics on standard error.
bool PrepareLogFolders(const std::string& serviceName);
