// Built-in settings, the command line words and the error lines of the setup tool.
#include "options.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "install.h"

namespace {

constexpr char kUsageText[] =
    "Dromlet (ANSI)\n"
    "  install  \"<CONTENT_ROOT>\"  \"<SERVICE_EXE_FULL_PATH>\"  [--name <SvcName>] [--display <DisplayName>] "
    "[--start]\n"
    "  start\n"
    "  stop\n"
    "  uninstall\n";

const ServiceAccount kServiceAccounts[] = {
    {"LocalSystem", "LocalSystem", "", false},
    {"LocalService", "NT AUTHORITY\\LocalService", "", true},
    {"NetworkService", "NT AUTHORITY\\NetworkService", "", true},
    {"ZorvaneISSvc", "NT SERVICE\\ZorvaneISSvc", nullptr, true},
};

std::string AcceptedAccounts()
{
    std::string words;
    for (const ServiceAccount& account : kServiceAccounts)
        words += std::string(words.empty() ? " (accounts: " : ", ") + account.word;
    return words + ")";
}

void WriteStream(FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// A word that starts with a hyphen is never taken for a path.
bool IsOption(const char* word) { return word[0] == '-'; }

// On a Windows command line "C:\My Web\" D:\svc.exe arrives as one word,
// C:\My Web" D:\svc.exe: the backslash kept the quote. A word wrapped whole in
// one pair of quotes is fine, the install strips them.
bool HoldsStrayQuote(const char* word)
{
    std::string text = word;
    StripEnclosingQuotes(text);
    return text.find('"') != std::string::npos;
}

// The machine's 64-bit Program Files folder in the ANSI code page, without a
// final backslash. Never a guess: on a machine whose Program Files lies
// elsewhere, users may create C:\Program Files themselves.
bool FindProgramFiles(std::string& folder)
{
    PWSTR known = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, &known);
    const std::wstring wide = SUCCEEDED(found) && known != nullptr ? known : L"";
    CoTaskMemFree(known);
    if (FAILED(found)) {
        const HRESULT code = HRESULT_FACILITY(found) == FACILITY_WIN32 ? HRESULT_CODE(found) : found;
        WriteError(ErrorLine("The 64-bit Program Files folder cannot be found (SHGetKnownFolderPath): ",
                             static_cast<DWORD>(code)));
        return false;
    }
    // No best fit: a look-alike character would name another folder.
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (size > 1 && !lossy) {
        folder.assign(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &folder[0], size, nullptr, nullptr);
        folder.resize(static_cast<size_t>(size) - 1);
    }
    if (size <= 1 || lossy) {
        WriteError("The 64-bit Program Files folder's path cannot be written in the ANSI code page\n");
        return false;
    }
    if (folder.back() == '\\')
        folder.pop_back();
    return true;
}

}  // namespace

bool FillBuiltInSettings(SetupOptions& options)
{
    std::string programFiles;
    if (!FindProgramFiles(programFiles))
        return false;
    options.contentRoot = programFiles + "\\zorvaneis\\";
    options.serviceExePath = programFiles + "\\ZorvaneService\\zorvaneissvc.exe";
    options.serverExePath = programFiles + "\\ZorvaneIs\\zorvaneis.exe";
    options.serviceName = kServiceName;
    options.displayName = "Tovimar Zorvane Information Server";
    options.startAfterInstall = true;
    options.account = nullptr;
    return true;
}

const ServiceAccount* FindServiceAccount(const char* word)
{
    for (const ServiceAccount& account : kServiceAccounts) {
        if (_stricmp(word, account.word) == 0)
            return &account;
    }
    return nullptr;
}

SetupVerb FindVerb(const char* word)
{
    const struct {
        const char* name;
        SetupVerb verb;
    } verbs[] = {
        {"install", SetupVerb::Install},
        {"start", SetupVerb::Start},
        {"stop", SetupVerb::Stop},
        {"uninstall", SetupVerb::Uninstall},
        {"release", SetupVerb::Release},
        {"status", SetupVerb::Status},
    };
    for (const auto& v : verbs) {
        if (_stricmp(word, v.name) == 0)
            return v.verb;
    }
    return SetupVerb::None;
}

bool ParseInstallArguments(int count, char** words, SetupOptions& options, std::string& problem)
{
    int positional = 0;
    for (int i = 0; i < count; ++i) {
        const char* word = words[i];
        if (!IsOption(word)) {
            if (HoldsStrayQuote(word)) {
                problem = std::string("install: a path may not hold a double quote: ") + word +
                          " (a backslash before a closing quote keeps the quote: write it twice, "
                          "\"C:\\My Web\\\\\", or leave it out)";
                return false;
            }
            if (positional == 0)
                options.contentRoot = word;
            else if (positional == 1)
                options.serviceExePath = word;
            else {
                problem = std::string("install: unexpected argument: ") + word;
                return false;
            }
            ++positional;
            continue;
        }
        if (_stricmp(word, "--start") == 0) {
            options.startAfterInstall = true;
            continue;
        }
        if (const char* accepts = RecordWordAccepts(word)) {
            if (i + 1 == count) {
                problem = std::string("install: missing value after ") + word + " (" + accepts + ")";
                return false;
            }
            if (!TakeRecordWord(word, words[++i], options.recordChanges, problem))
                return false;
            continue;
        }
        const bool account = _stricmp(word, "--account") == 0;
        if (!account && _stricmp(word, "--name") != 0 && _stricmp(word, "--display") != 0) {
            problem = std::string("install: unknown option: ") + word;
            return false;
        }
        if (i + 1 == count || IsOption(words[i + 1])) {
            problem = std::string("install: missing value after ") + word;
            if (account)
                problem += AcceptedAccounts();
            return false;
        }
        const char* value = words[++i];
        if (account) {
            options.account = FindServiceAccount(value);
            if (options.account == nullptr) {
                problem = std::string("install: unknown account: ") + value + AcceptedAccounts();
                return false;
            }
        } else if (_stricmp(word, "--display") == 0) {
            options.displayName = value;
        } else if (_stricmp(value, kServiceName) != 0) {
            // start, stop, uninstall and the watchdog itself address this
            // name only: a service of another name could never be removed.
            problem = std::string("install: the service name must be ") + kServiceName + ", not " + value;
            return false;
        }
    }
    return RecordChangesAgree(options.recordChanges, problem);
}

void WriteUsage() { WriteStream(stdout, kUsageText); }

void WriteError(const std::string& text) { WriteStream(stderr, text); }

std::string ErrorLine(const char* prefix, DWORD code)
{
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string line = prefix;
    if (length != 0)
        line.append(buffer, length);
    if (buffer != nullptr)
        LocalFree(buffer);
    return line + "\n";
}

void ReportLastError(const char* prefix)
{
    const DWORD code = GetLastError();
    WriteError(ErrorLine(prefix, code));
}
