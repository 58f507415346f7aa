// `Dromlet status`: what runs, under which settings, and the end of the log,
// for an administrator or a monitoring script. It changes nothing.
#pragma once

// Exit statuses of status.
constexpr int kStatusServing = 0;     // the service runs and a launcher runs from ServerExePath
constexpr int kStatusCannotTell = 1;  // after the usual error line
constexpr int kStatusNotServing = 3;  // installed but stopped, or running without a launcher
constexpr int kStatusNotInstalled = 4;

#include <windows.h>

// All that status asks of the service: what the service's DACL grants
// interactive and service users.
constexpr DWORD kStatusServiceAccess = SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG;

// Writes the state to standard output and returns one of the statuses above.
int ShowStatus();
