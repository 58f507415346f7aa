// Helpers shared by the tests: running programs, HTTP on loopback, files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zvtest {

// A build-tree path as the programs under test see it: a Unix path
// (/work/...) becomes Z:\work\..., a Windows path stays as it is.
std::string HostPath(const std::string& path);
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Folder of the running test program, without a trailing backslash.
std::string ThisProgramFolder();

struct RunResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs `commandLine` with `workDir` as its working folder (empty: ours),
// captures both streams and waits up to `timeoutMs`; a program still
// running then is terminated and reported as timed out.
RunResult RunProgram(const std::string& commandLine, const std::string& workDir = "",
                     DWORD timeoutMs = 30000);

// A program left running in the background; terminated when this ends.
class BackgroundProgram {
public:
    BackgroundProgram() = default;
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Starts it with both streams captured to files in a temporary folder.
    bool Start(const std::string& commandLine, const std::string& workDir = "");
    bool IsRunning() const;
    // Waits up to `timeoutMs` for it to end; true when it ended.
    bool WaitForExit(DWORD timeoutMs);
    DWORD ExitCode() const;
    DWORD Pid() const { return pid_; }
    void Terminate();
    std::string Out() const;
    std::string Err() const;

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    std::string outPath_;
    std::string errPath_;
};

// Polls `done` every `pollMs` until it holds or `timeoutMs` have passed.
template <typename Predicate>
bool WaitUntil(Predicate done, DWORD timeoutMs, DWORD pollMs = 20)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(pollMs);
    }
}

// Current state of the service `name`; 0 when it cannot be opened (not
// installed). `processId`, when given, receives its process id (0: none).
DWORD ServiceState(const char* name, DWORD* processId = nullptr);

struct HttpReply {
    int status = 0;  // 0: no reply
    std::string headers;
    std::string body;
};

// Sends `request` verbatim to 127.0.0.1:`port` and reads the whole reply.
HttpReply HttpExchange(int port, const std::string& request, DWORD timeoutMs = 5000);
HttpReply HttpGet(int port, const std::string& target);
// Polls until the port answers a GET of "/" with any status, or the time is up.
bool WaitForHttp(int port, DWORD timeoutMs);
// True when something accepts TCP connections on 127.0.0.1:`port`.
bool PortAccepts(int port);

// A fresh folder under the temporary folder, removed with its content at the end.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag = "zvtest");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string& bytes);
bool CopyFileTo(const std::string& from, const std::string& to);
bool MakeFolders(const std::string& path);
// Removes a folder with its content; links in it are removed, not followed.
void RemoveTree(const std::string& path);
// Makes `link` a symbolic link to `target` (relative to the link's folder,
// with "\\" separators). Wine keeps no links made by CreateSymbolicLinkW but
// runs Unix programs, so there `ln -s` makes one in the prefix, and
// RemoveTree takes it away with `rm`.
bool MakeSymbolicLink(const std::string& link, const std::string& target, bool folder);
// Removes such a link (or a file) at `link`, never what a link points to.
bool RemoveSymbolicLink(const std::string& link);
// Starts a Unix program ("Z:\\bin\\ln ...") in `folder`; Wine does not wait
// for it to end, so its effect is to be waited for.
bool RunUnixTool(std::string commandLine, const std::string& folder);

// A value under HKEY_LOCAL_MACHINE\`key` (64-bit view): a string as it is,
// a REG_DWORD as "dword:N"; "<missing>" when it cannot be read. `type`, when
// given, receives the value's type.
std::string MachineValue(const std::string& key, const char* name, DWORD* type = nullptr);

// Points the machine's 64-bit Program Files folder at `folder`, or back at
// C:\Program Files. D: is made a drive of the Wine prefix: a folder beside it.
void MoveProgramFiles(const std::string& folder);

// Well-known SIDs as ConvertSidToStringSid writes them.
constexpr char kSidSystem[] = "S-1-5-18";
constexpr char kSidAdministrators[] = "S-1-5-32-544";
constexpr char kSidUsers[] = "S-1-5-32-545";
constexpr char kSidInteractive[] = "S-1-5-4";
constexpr char kSidService[] = "S-1-5-6";

// The access-allowed entries of a security descriptor's DACL, the SID as
// "S-1-..." text; `protectedDacl` is whether it blocks inheritance.
struct AllowedAce {
    std::string sid;
    DWORD mask;
    BYTE flags;
    bool operator==(const AllowedAce& other) const
    {
        return sid == other.sid && mask == other.mask && flags == other.flags;
    }
};
struct DaclView {
    std::string owner;  // empty when the descriptor names none
    bool protectedDacl = false;
    std::vector<AllowedAce> allowed;
    size_t otherEntries = 0;  // entries of any other type (denials, audits)
};
DaclView ViewDacl(PSECURITY_DESCRIPTOR descriptor);

// The binary SID of `text` ("S-1-..."); empty for empty or bad text.
std::vector<BYTE> SidBytes(const std::wstring& text);

// An impersonation copy of this process's token in which every group is
// deny-only and no privilege that AccessCheck would honour is left: of what a
// descriptor can name, it holds its user alone, returned in `user`. Null on failure.
HANDLE MakeStandInToken(std::vector<BYTE>& user);

constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                          FILE_ALL_ACCESS};

// Windows' AccessCheck of `access`, its generic rights mapped by `mapping`;
// false when the check itself fails.
bool AccessGranted(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD access, GENERIC_MAPPING mapping,
                   bool& granted);

// Process ids of every process whose image path equals `imagePath`, case ignored.
std::vector<DWORD> FindProcessesByImage(const std::string& imagePath);
void KillProcess(DWORD pid);

}  // namespace zvtest
