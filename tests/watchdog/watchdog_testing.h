// Helpers of the watchdog tests: the service log, the registry record and
// copies of the sleeper program that stand in for the launcher.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace wdtest {

constexpr char kServiceLogPath[] = "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log";
constexpr int kLinePrefixLength = 25;

std::string Utf8(const std::wstring& text);

// The lines appended to the service log since this was made.
class LogWatch {
public:
    LogWatch();
    // Whole lines, CR LF removed.
    std::vector<std::string> Lines() const;
    // The lines without their 25-character time prefix.
    std::vector<std::string> Messages() const;
    // Waits until a message equal to `message` (or starting with it, when
    // `prefixOnly`) has been logged `count` times.
    bool WaitFor(const std::string& message, DWORD timeoutMs, size_t count = 1, bool prefixOnly = false) const;
    size_t Count(const std::string& message, bool prefixOnly = false) const;

private:
    size_t start_ = 0;
};

using zvtest::WaitUntil;

// HKLM\SOFTWARE\ZorvaneIS in the 64-bit view.
void DeleteRecord();
bool CreateRecordKey();
bool SetServerExePath(const std::wstring& path);
bool SetRecordValue(DWORD type, const void* data, DWORD size, const wchar_t* name = L"ServerExePath");

// The sleeper copied to `folder`\`name`; returns the copy's path.
std::string PlaceSleeper(const std::string& folder, const std::string& name = "sleeper.exe");
// The "<working folder>|<command line>" lines of each start of that copy.
std::vector<std::string> SleeperStarts(const std::string& exe);
void KillAllFrom(const std::string& exe);
bool IsAlive(DWORD pid);

// The PID in a "Launched '...' (PID=n)" message; 0 when there is none.
DWORD LaunchedPid(const std::string& message);

}  // namespace wdtest
