// The service log: one timestamped line per call in service.log (UTF-8) and
// on the debugger output (UTF-16).
#pragma once

#include <string>

constexpr int kMessageBufferUnits = 2048;  // a message keeps at most 2047 units
constexpr int kLineBufferUnits = 2304;     // 25 + 2047 + 2 always fit
constexpr wchar_t kLogFileName[] = L"service.log";

// The folders that hold the log: owned by Administrators; SYSTEM and
// Administrators have full control, Users may read and list. Protected, so
// that nothing is inherited from ProgramData or the temporary folder, where
// every user may create files; the log file inherits it.
constexpr wchar_t kLogFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// printf-style for wide strings: %s is a UTF-16 string, %lu and %ld 32-bit.
// Control characters in the message are written as '?', so that no text
// from the registry or a command line can start a line of its own.
// Never fails towards the caller; callable from any thread.
void WriteLog(const wchar_t* format, ...);

// The log folder, without a trailing backslash: Tovimar\ZorvaneService under
// ProgramData, or ZorvaneService under the temporary folder when ProgramData
// cannot be found. Each level is created with kLogFolderSddl, or, when it
// exists, given that owner and DACL once per process. Empty when neither can
// be made, or when a level is a link (a reparse point) or not a folder.
std::wstring GetLogFolder();
