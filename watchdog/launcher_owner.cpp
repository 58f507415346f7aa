// The owner test of the running test: a process's token user and groups
// decide whether it is the server.
#include "launcher_owner.h"

#include <sddl.h>

#include <algorithm>

#include "log.h"
#include "scoped_handle.h"

namespace {

// Ignored processes that were logged, so that each is logged once; those
// gone are forgotten once this many are remembered.
constexpr size_t kIgnoredRemembered = 64;
std::vector<ProcessKey> Ignored;

// What `token` holds of `what`; empty when it cannot be read.
std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, what, buffer.data(), size, &size))
        buffer.clear();
    return buffer;
}

// This process's token user, read once; empty when it cannot be read.
const std::vector<BYTE>& ServiceUser()
{
    static const std::vector<BYTE> user = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return std::vector<BYTE>();
        const ScopedHandle scoped(token);
        return TokenInformation(token, TokenUser);
    }();
    return user;
}

ULONGLONG CreationTime(HANDLE process)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return 0;
    return (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

bool StillRuns(const ProcessKey& key)
{
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, key.id));
    return process && CreationTime(process.get()) == key.created;
}

}  // namespace

bool CountsAsServer(PSID user, const SID_AND_ATTRIBUTES* groups, DWORD groupCount, PSID serviceUser)
{
    if (user == nullptr)
        return false;
    if (IsWellKnownSid(user, WinLocalSystemSid) || (serviceUser != nullptr && EqualSid(user, serviceUser)))
        return true;
    for (DWORD i = 0; i < groupCount; ++i) {
        if (IsWellKnownSid(groups[i].Sid, WinBuiltinAdministratorsSid) &&
            (groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) != 0)
            return true;
    }
    return false;
}

bool FirstSighting(std::vector<ProcessKey>& seen, const ProcessKey& key)
{
    const auto same = [&](const ProcessKey& k) { return k.id == key.id && k.created == key.created; };
    if (std::any_of(seen.begin(), seen.end(), same))
        return false;
    if (seen.size() >= kIgnoredRemembered)
        seen.erase(std::remove_if(seen.begin(), seen.end(), [](const ProcessKey& k) { return !StillRuns(k); }),
                   seen.end());
    seen.push_back(key);
    return true;
}

bool IsServerProcess(HANDLE process, DWORD id, const wchar_t* path)
{
    // A token that cannot be read does not count, as a process that cannot
    // be opened does not: its user may deny us its token (the token's owner
    // may change its DACL), and counting it would hand any user the block
    // that this test removes. LocalSystem reads every unaltered token; a
    // lesser account cannot open another account's process in the first place.
    HANDLE opened = nullptr;
    std::vector<BYTE> user, groups;
    DWORD error = ERROR_SUCCESS;
    if (OpenProcessToken(process, TOKEN_QUERY, &opened)) {
        const ScopedHandle token(opened);
        user = TokenInformation(opened, TokenUser);
        error = GetLastError();
        groups = TokenInformation(opened, TokenGroups);
    } else {
        error = GetLastError();
    }
    const PSID userSid = user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    const auto* held = groups.empty() ? nullptr : reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    const std::vector<BYTE>& serviceUser = ServiceUser();
    const PSID serviceSid =
        serviceUser.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(serviceUser.data())->User.Sid;
    if (CountsAsServer(userSid, held ? held->Groups : nullptr, held ? held->GroupCount : 0, serviceSid))
        return true;
    if (!FirstSighting(Ignored, {id, CreationTime(process)}))
        return false;
    wchar_t* text = nullptr;
    if (userSid != nullptr && ConvertSidToStringSidW(userSid, &text)) {
        // A SID's text holds digits, hyphens and "S" only: it cannot forge a line.
        WriteLog(L"Ignoring '%s' (PID=%lu): started by %s, not by an administrator", path, id, text);
        LocalFree(text);
    } else {
        WriteLog(L"Ignoring '%s' (PID=%lu): its owner cannot be read err=%lu", path, id, error);
    }
    return false;
}
