// Helpers of the watchdog tests: the service log, the registry record and
// copies of the sleeper program that stand in for the launcher.
#pragma once

#include <winsock2.h>  // before windows.h

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "scoped_handle.h"
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

// An HTTP server on 127.0.0.1:`port` that answers its nth request with the
// status line `reply(n)` ("503 Busy\r\n", headers may follow) after
// `delayMs`, or holds it open without an answer when that is empty.
class ScriptedServer {
public:
    ScriptedServer(int port, std::function<std::string(size_t)> reply, DWORD delayMs = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Listening() const { return listening_ && thread_.valid(); }
    // Signalled once a request is held.
    HANDLE Held() const { return held_.get(); }

private:
    static DWORD WINAPI Serve(LPVOID parameter);

    std::function<std::string(size_t)> reply_;
    DWORD delayMs_;
    sockaddr_in address_ = {};
    std::atomic<bool> stopping_{false};
    SOCKET listener_ = INVALID_SOCKET;
    bool listening_ = false;
    std::vector<SOCKET> heldOpen_;
    ScopedHandle held_;
    ScopedHandle thread_;
};

}  // namespace wdtest
