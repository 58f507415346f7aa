// The service log: one timestamped line per call in service.log (UTF-8) and
// on the debugger output (UTF-16).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "log_security.h"

constexpr int kMessageBufferUnits = 2048;  // a message keeps at most 2047 units
constexpr int kLineBufferUnits = 2304;     // 25 + 2047 + 2 always fit

// printf-style for wide strings: %s is a UTF-16 string, %lu and %ld 32-bit.
// Control characters in the message are written as '?', so that no text
// from the registry or a command line can start a line of its own.
// Never fails towards the caller; callable from any thread. A line that
// meets a sharing violation or another passing failure is tried again for
// about a second, unless StopEvent is set; a line that cannot be written is
// counted, and the next line written is preceded by
// "Log lines lost: N (REASON)".
void WriteLog(const wchar_t* format, ...);
// From now on a line that cannot be written at once is counted without the
// second of retries: the stop's own lines must not hold up the stop.
void StopLogRetries();

// The service SID when this process runs as a lesser account whose token
// holds it: the owner of what the service creates. Otherwise empty.
std::wstring LesserAccountOwner();

// The log folder, without a trailing backslash: Tovimar\ZorvaneService under
// ProgramData, or ZorvaneService under the temporary folder when the log
// could not be written under ProgramData at the first line (the first line
// there says why) or its folder has vanished under a lesser account. Each
// level is created when missing, except under ProgramData by a lesser
// account, and checked through an open handle: owned by SYSTEM,
// Administrators, this process's account or the service SID, with the log's
// protected DACL (the last folder may also carry the service SID's entries).
// One that is not is secured again, unless this process runs as a lesser
// service account. Empty when a level is a link (a reparse point), no
// folder, or cannot be made or secured.
std::wstring GetLogFolder();

// Who writes the log, as the first line finds it.
struct LogAccount {
    std::wstring user;        // the token's user, "S-1-..."
    bool lesser = false;      // IsServiceAccount(user)
    bool holdsServiceSid = false;
    std::wstring serviceSid;  // empty when unknown
};
// The SDDL of the log's objects for that account: the owners the check
// accepts, what it accepts and secures with, and what this process gives
// the objects it creates.
struct LogDescriptors {
    std::vector<std::wstring> owners;
    std::wstring folder, lastFolder, file;
    std::wstring createdFolder, createdLastFolder, createdFile;
};
LogDescriptors DescribeLog(const LogAccount& account);

// The call that gives a log folder or file the log's owner and DACL again
// (TakeOverLogObject); tests wrap it to see which objects are secured.
using SecureLogObjectFunction = bool (*)(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor,
                                         const FileIdentity* expected);
extern SecureLogObjectFunction g_secureLogObject;
// Whether a log folder that does not pass the check was made or may be
// changed by someone else (HeldByOthers); tests replace it.
extern bool (*g_heldByOthers)(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& trusted);
// Whether this process runs as a lesser account (IsServiceAccount of its
// token's user), asked once before its first line; tests replace it.
extern bool (*g_isServiceAccount)(PSID user);
// Whether this process's token holds the service SID (CheckTokenMembership),
// asked once under a lesser account; tests replace it.
extern bool (*g_holdsServiceSid)(PSID serviceSid);
