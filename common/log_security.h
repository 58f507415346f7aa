// Who may change the service log's folders and file: the descriptors they
// carry, the check whether one must be secured again, and the takeover that
// secures it. The watchdog checks them before every line; the setup tool
// prepares them for a service that runs under a lesser account.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "security_descriptor.h"

constexpr wchar_t kLogServiceName[] = L"ZorvaneISSvc";
constexpr wchar_t kLogFileName[] = L"service.log";
// The log folder: Tovimar\ZorvaneService under ProgramData, or ZorvaneService
// under the temporary folder when ProgramData cannot be found.
constexpr wchar_t kLogCompanyFolder[] = L"Tovimar";
constexpr wchar_t kLogFolderName[] = L"ZorvaneService";

// What the service's own SID (NT SERVICE\ZorvaneISSvc) may do under a lesser
// account: in the last folder list it, read its descriptor and create files,
// but neither delete it nor change its DACL; in the files made there, read
// and append, but neither overwrite nor delete.
constexpr DWORD kServiceFolderRights = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE;
constexpr DWORD kServiceFileRights = FILE_GENERIC_READ | FILE_APPEND_DATA;
// What Users may do with the log file: see that it is there, its size and
// its descriptor, but not read it. Reading its data or executing it would
// let a user open it sharing nothing and so hold off every line.
constexpr DWORD kUsersFileRights = READ_CONTROL | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA;

// "S-1-5-80-" and the SHA-1 of the upper-cased UTF-16LE service name as five
// decimal little-endian DWORDs: the SID that Windows gives the service, also
// on machines that cannot look the name up. Empty when SHA-1 is unavailable.
std::wstring ServiceSidText(const wchar_t* serviceName);

// The SDDL texts of the log's objects, for the service SID `serviceSid`.
// Each is owned by Administrators; SYSTEM and Administrators have full
// control, Users may list the folders but not read the file. Protected, so that nothing is inherited
// from ProgramData or the temporary folder, where every user may create
// files. The file's entries are its own rather than inherited, so that its
// DACL is protected too; it always lets the service SID append to it.
// `withOwner` false leaves the owner out, for objects that an account that
// may not name Administrators as their owner creates.
enum class LogObject { Folder, ServiceFolder, File };
std::wstring LogObjectSddl(LogObject object, const std::wstring& serviceSid, bool withOwner = true);

// True when `actual` must be secured again: its owner is none of `owners`,
// or its DACL is not protected or differs, entry for entry, from the DACL of
// every descriptor in `accepted`.
bool NeedsSecuring(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& owners,
                   const std::vector<PSECURITY_DESCRIPTOR>& accepted);
// SYSTEM, Administrators, this process's user and, unless `serviceSid` is
// empty, the service SID, in that order: who may make and hold the log's folders.
bool TrustedLogSids(const std::wstring& serviceSid, std::vector<std::vector<BYTE>>& sids);
// True when a principal outside `trusted` made `actual` (is its owner) or
// may change it: an entry of its DACL (or none) that gives it more than
// reading and listing. Such a folder is moved aside rather than adopted,
// since handles that principal opened before would still reach it.
bool HeldByOthers(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& trusted);
// Same owner, same protection and the same DACL entries.
bool SameOwnerAndDacl(PSECURITY_DESCRIPTOR a, PSECURITY_DESCRIPTOR b);

// LocalService, NetworkService or a service's own account (S-1-5-80-...):
// the lesser accounts, which may not change an owner or a DACL of the log.
bool IsServiceAccount(PSID user);

// What a file or folder is, whatever path reaches it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};
FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info);
bool operator==(const FileIdentity& a, const FileIdentity& b);

// Gives the folder or file at `path` the owner and DACL of `descriptor`.
// SeTakeOwnershipPrivilege and SeRestorePrivilege are enabled for the call
// on this thread only, so that an object whose DACL leaves the caller out is
// taken over too. Refused when the object is a link or has a second name,
// or, with `expected`, when it is another object than the one checked.
bool TakeOverLogObject(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, const FileIdentity* expected);
// Renames the folder or file at `path` to `newPath` (a full path on the same
// volume; never replaces), with the same privileges and refusals as
// TakeOverLogObject. Fails while someone holds it open without sharing delete.
bool MoveLogObjectAside(const std::wstring& path, const std::wstring& newPath, const FileIdentity* expected);
// `path` with ".moved-" and the local time (yyyymmdd-hhmmss-mmm) behind it.
std::wstring AsideName(const std::wstring& path);
