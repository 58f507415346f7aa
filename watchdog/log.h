// The service log: one timestamped line per call in service.log (UTF-8) and
// on the debugger output (UTF-16).
#pragma once

#include <string>

constexpr int kMessageBufferUnits = 2048;  // a message keeps at most 2047 units
constexpr int kLineBufferUnits = 2304;     // 25 + 2047 + 2 always fit
constexpr wchar_t kLogFileName[] = L"service.log";

// printf-style for wide strings: %s is a UTF-16 string, %lu and %ld 32-bit.
// Never fails towards the caller; callable from any thread.
void WriteLog(const wchar_t* format, ...);

// The log folder, created with its missing parents, without a trailing backslash:
// Tovimar\ZorvaneService under ProgramData, or ZorvaneService under the
// temporary folder when ProgramData cannot be found; empty when neither can.
std::wstring GetLogFolder();
