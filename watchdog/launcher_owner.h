// Which processes running from the launcher path count as the server: those
// of SYSTEM, of the service's own account and of administrators. Any other
// user could otherwise keep the service from ever starting its own launcher.
#pragma once

#include <windows.h>

#include <vector>

// The decision on a process's token: its user is SYSTEM or `serviceUser`,
// or it holds Administrators enabled or for deny only (an administrator's
// unelevated console). A null `user` (a token that could not be read) never
// counts. A null `serviceUser` leaves SYSTEM and Administrators.
bool CountsAsServer(PSID user, const SID_AND_ATTRIBUTES* groups, DWORD groupCount, PSID serviceUser);

// A process, whatever reuse its id sees.
struct ProcessKey {
    DWORD id = 0;
    ULONGLONG created = 0;
};
// True the first time `key` is offered; it is then remembered in `seen`.
bool FirstSighting(std::vector<ProcessKey>& seen, const ProcessKey& key);

// The decision for `process` (opened with PROCESS_QUERY_LIMITED_INFORMATION),
// on its token read through that handle; `path` names it in the one line
// written for each process that does not count. Monitor thread only.
bool IsServerProcess(HANDLE process, DWORD id, const wchar_t* path);
