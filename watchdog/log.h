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

// Called whenever a line is finally lost, with the lines lost since the last
// one written and the cause of this one (as in "Log lines lost"); null:
// nobody is told. Called outside the log's lock, but must not write to the log.
extern void (*g_logLineLost)(DWORD lost, const wchar_t* reason);

// The log folder, without a trailing backslash: Tovimar\ZorvaneService under
// ProgramData, or ZorvaneService under the temporary folder when ProgramData
// cannot be found. Each level is created when missing, and checked through
// an open handle: owned by SYSTEM, Administrators or this process's account,
// with the log's protected DACL (the last folder may also carry the service
// SID's entries). One that is not is secured again, unless this process runs
// as a lesser service account. Empty when a level is a link (a reparse
// point), no folder, or cannot be made or secured.
std::wstring GetLogFolder();

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
