// Descriptors, checks and the takeover of the service log's folders and file.
#include "log_security.h"

#include <wincrypt.h>

#include <cstring>
#include <cwchar>

#include "scoped_handle.h"

namespace {

constexpr DWORD kSha1Bytes = 20;
constexpr wchar_t kFolderAces[] = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kFileAces[] = L"(A;;FA;;;SY)(A;;FA;;;BA)";
// What an entry may give a principal outside the trusted ones without that
// principal being able to change the object.
constexpr DWORD kReadAndListRights = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

std::wstring AllowedAce(const wchar_t* flags, DWORD rights, const std::wstring& sid)
{
    wchar_t mask[16];
    swprintf(mask, 16, L"0x%lx", rights);
    return std::wstring(L"(A;") + flags + L";" + mask + L";;;" + sid + L")";
}

bool SameDacl(PACL a, PACL b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    if (a->AceCount != b->AceCount)
        return false;
    for (DWORD i = 0; i < a->AceCount; ++i) {
        void* aceA = nullptr;
        void* aceB = nullptr;
        if (!GetAce(a, i, &aceA) || !GetAce(b, i, &aceB))
            return false;
        const WORD size = static_cast<ACE_HEADER*>(aceA)->AceSize;
        if (size != static_cast<ACE_HEADER*>(aceB)->AceSize || memcmp(aceA, aceB, size) != 0)
            return false;
    }
    return true;
}

// Owner, DACL (null when absent or null) and whether the DACL is protected.
struct OwnerAndDacl {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    bool protectedDacl = false;
};

bool ReadOwnerAndDacl(PSECURITY_DESCRIPTOR descriptor, OwnerAndDacl& parts)
{
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorOwner(descriptor, &parts.owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &parts.dacl, &defaulted) ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision))
        return false;
    if (!present)
        parts.dacl = nullptr;
    parts.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
    return true;
}

bool SameSid(PSID a, PSID b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    return EqualSid(a, b) != FALSE;
}

// Runs `take` with SeTakeOwnershipPrivilege and SeRestorePrivilege enabled in
// a copy of the process token that only this thread uses, then gives the
// thread its earlier token back (none: the process token), so that no other
// thread ever holds the two privileges enabled.
template <typename Take>
bool WithTakeoverPrivileges(Take take)
{
    HANDLE earlier = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &earlier))
        earlier = nullptr;
    const ScopedHandle earlierToken(earlier);
    if (!ImpersonateSelf(SecurityImpersonation))
        return false;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, &token)) {
        const ScopedHandle threadToken(token);
        struct {
            DWORD count;
            LUID_AND_ATTRIBUTES privileges[2];
        } enable = {2, {{{0, 0}, SE_PRIVILEGE_ENABLED}, {{0, 0}, SE_PRIVILEGE_ENABLED}}};
        // A token without one of them: the takeover goes on and fails where
        // it would have needed it.
        if (LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege", &enable.privileges[0].Luid) &&
            LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &enable.privileges[1].Luid))
            AdjustTokenPrivileges(token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&enable), 0, nullptr, nullptr);
    }
    const bool taken = take();
    const DWORD error = GetLastError();
    SetThreadToken(nullptr, earlierToken.get());
    SetLastError(error);
    return taken;
}

bool SidBytes(PSID sid, std::vector<BYTE>& copy)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    copy.assign(bytes, bytes + GetLengthSid(sid));
    return true;
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, std::vector<BYTE>& sid)
{
    DWORD size = SECURITY_MAX_SID_SIZE;
    sid.assign(size, 0);
    return CreateWellKnownSid(type, nullptr, sid.data(), &size) != FALSE;
}

bool ReadTokenUser(std::vector<BYTE>& user)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const ScopedHandle scopedToken(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return false;
    return SidBytes(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, user);
}

}  // namespace

std::wstring ServiceSidText(const wchar_t* serviceName)
{
    const int units = lstrlenW(serviceName);
    std::wstring upper(static_cast<size_t>(units), L'\0');
    if (units == 0 || LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, serviceName, units, &upper[0], units,
                                    nullptr, nullptr, 0) != units)
        return {};
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return {};
    HCRYPTHASH hash = 0;
    BYTE digest[kSha1Bytes];
    DWORD size = sizeof digest;
    const bool hashed = CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                        CryptHashData(hash, reinterpret_cast<const BYTE*>(upper.data()),
                                      static_cast<DWORD>(units * sizeof(wchar_t)), 0) &&
                        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == kSha1Bytes;
    if (hash != 0)
        CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    if (!hashed)
        return {};
    std::wstring sid = L"S-1-5-80";
    for (DWORD i = 0; i < kSha1Bytes; i += 4) {
        const DWORD part = digest[i] | digest[i + 1] << 8 | digest[i + 2] << 16 | static_cast<DWORD>(digest[i + 3]) << 24;
        sid += L"-" + std::to_wstring(part);
    }
    return sid;
}

std::wstring LogObjectSddl(LogObject object, const std::wstring& serviceSid, bool withOwner)
{
    std::wstring sddl = withOwner ? L"O:BAD:P" : L"D:P";
    switch (object) {
    case LogObject::Folder:
        sddl += kFolderAces;
        break;
    case LogObject::ServiceFolder:
        sddl += kFolderAces;
        sddl += AllowedAce(L"", kServiceFolderRights, serviceSid);
        sddl += AllowedAce(L"OIIO", kServiceFileRights, serviceSid);
        break;
    case LogObject::File:
        sddl += kFileAces;
        sddl += AllowedAce(L"", kUsersFileRights, L"BU");
        if (!serviceSid.empty())
            sddl += AllowedAce(L"", kServiceFileRights, serviceSid);
        break;
    }
    return sddl;
}

bool NeedsSecuring(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& owners,
                   const std::vector<PSECURITY_DESCRIPTOR>& accepted)
{
    OwnerAndDacl parts;
    if (!ReadOwnerAndDacl(actual, parts) || parts.owner == nullptr || parts.dacl == nullptr || !parts.protectedDacl)
        return true;
    bool ownerAccepted = false;
    for (PSID owner : owners)
        ownerAccepted = ownerAccepted || SameSid(parts.owner, owner);
    if (!ownerAccepted)
        return true;
    for (PSECURITY_DESCRIPTOR descriptor : accepted) {
        OwnerAndDacl wanted;
        if (ReadOwnerAndDacl(descriptor, wanted) && SameDacl(parts.dacl, wanted.dacl))
            return false;
    }
    return true;
}

bool TrustedLogSids(const std::wstring& serviceSid, std::vector<std::vector<BYTE>>& sids)
{
    sids.assign(3, {});
    if (!WellKnownSid(WinLocalSystemSid, sids[0]) || !WellKnownSid(WinBuiltinAdministratorsSid, sids[1]) ||
        !ReadTokenUser(sids[2]))
        return false;
    PSID service = nullptr;
    if (serviceSid.empty() || !ConvertStringSidToSidW(serviceSid.c_str(), &service))
        return true;
    sids.emplace_back();
    SidBytes(service, sids.back());
    LocalFree(service);
    return true;
}

bool HeldByOthers(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& trusted)
{
    const auto isTrusted = [&](PSID sid) {
        for (PSID one : trusted) {
            if (SameSid(sid, one))
                return true;
        }
        return false;
    };
    OwnerAndDacl parts;
    if (!ReadOwnerAndDacl(actual, parts) || parts.owner == nullptr || !isTrusted(parts.owner) || parts.dacl == nullptr)
        return true;
    for (DWORD i = 0; i < parts.dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(parts.dacl, i, &ace))
            return true;
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & ~kReadAndListRights) != 0 && !isTrusted(&allowed->SidStart))
            return true;
    }
    return false;
}

bool SameOwnerAndDacl(PSECURITY_DESCRIPTOR a, PSECURITY_DESCRIPTOR b)
{
    OwnerAndDacl partsA;
    OwnerAndDacl partsB;
    return ReadOwnerAndDacl(a, partsA) && ReadOwnerAndDacl(b, partsB) && SameSid(partsA.owner, partsB.owner) &&
           partsA.protectedDacl == partsB.protectedDacl && SameDacl(partsA.dacl, partsB.dacl);
}

bool IsServiceAccount(PSID user)
{
    if (IsWellKnownSid(user, WinLocalServiceSid) || IsWellKnownSid(user, WinNetworkServiceSid))
        return true;
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(user);
    return memcmp(authority, &nt, sizeof nt) == 0 && *GetSidSubAuthorityCount(user) >= 1 &&
           *GetSidSubAuthority(user, 0) == SECURITY_SERVICE_ID_BASE_RID;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool operator==(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

namespace {

// The folder or file at `path` itself, opened with `access` through backup
// semantics (the restore privilege grants what the DACL may not); invalid
// when it is a link or has a second name (it could be any file of the
// machine), or, with `expected`, is another object than the one checked.
HANDLE OpenForTakeover(const std::wstring& path, DWORD access, const FileIdentity* expected)
{
    ScopedHandle object(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!object || !GetFileInformationByHandle(object.get(), &info))
        return nullptr;
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (!folder && info.nNumberOfLinks != 1) ||
        (expected != nullptr && !(IdentityOf(info) == *expected))) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return nullptr;
    }
    return object.release();
}

}  // namespace

bool TakeOverLogObject(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, const FileIdentity* expected)
{
    return WithTakeoverPrivileges([&] {
        const ScopedHandle object(OpenForTakeover(path, WRITE_DAC | WRITE_OWNER, expected));
        // The protection comes with the descriptor's SE_DACL_PROTECTED.
        return object && SetKernelObjectSecurity(object.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                 descriptor) != FALSE;
    });
}

bool MoveLogObjectAside(const std::wstring& path, const std::wstring& newPath, const FileIdentity* expected)
{
    return WithTakeoverPrivileges([&] {
        const ScopedHandle object(OpenForTakeover(path, DELETE, expected));
        if (!object)
            return false;
        // Renamed through the handle, so that it is the object checked.
        std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + newPath.size() * sizeof(wchar_t));
        FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(newPath.size() * sizeof(wchar_t));
        memcpy(rename->FileName, newPath.c_str(), rename->FileNameLength);
        return SetFileInformationByHandle(object.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) !=
               FALSE;
    });
}

std::wstring AsideName(const std::wstring& path)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t suffix[40];
    swprintf(suffix, 40, L".moved-%04u%02u%02u-%02u%02u%02u-%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    return path + suffix;
}
