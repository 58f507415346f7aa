// Settings of one run of the setup tool, its command line words and the
// error lines that every failed service-manager call writes.
#pragma once

#include <windows.h>

#include <string>

#include "record_values.h"

constexpr char kServiceName[] = "ZorvaneISSvc";
// The registry record under HKEY_LOCAL_MACHINE, always in the 64-bit view.
constexpr char kRecordKey[] = "SOFTWARE\\ZorvaneIS";

// An account that `install --account WORD` runs the service under.
struct ServiceAccount {
    const char* word;
    const char* startName;  // as CreateServiceA and ChangeServiceConfigA take it
    // "" for the built-in accounts; a virtual account must be given none at all.
    const char* password;
    // Any account but LocalSystem: the service gets its own SID and only the
    // privileges it needs.
    bool lesser;
};

// The account that `word` names, ASCII case ignored; null for any other word.
const ServiceAccount* FindServiceAccount(const char* word);

struct SetupOptions {
    std::string verb;
    std::string contentRoot;
    std::string serviceExePath;
    std::string serverExePath;
    std::string serviceName;
    std::string displayName;
    bool startAfterInstall = false;
    // Null: LocalSystem for a new service, the account as it is for an existing one.
    const ServiceAccount* account = nullptr;
    // The record's optional values that the words set or delete; the rest stay as they are.
    RecordChanges recordChanges;
};

// Release is setup's own step before it replaces the programs, status a
// look for scripts; the usage text shows only the four verbs an
// administrator types.
enum class SetupVerb { None, Install, Start, Stop, Uninstall, Release, Status };

// Fills every field but `verb` with the built-in settings; the three paths lie
// below the machine's 64-bit Program Files folder. False, after a line on
// standard error, when that folder cannot be found.
bool FillBuiltInSettings(SetupOptions& options);

// The verb that `word` names, letter case ignored; None for any other word.
SetupVerb FindVerb(const char* word);

// Reads the words after "install" into `options` (already holding the
// built-in settings). On false `problem` holds a one-line description.
bool ParseInstallArguments(int count, char** words, SetupOptions& options, std::string& problem);

// Standard output carries the usage text and nothing else.
void WriteUsage();
void WriteError(const std::string& text);

// "prefix", the system's text for `code` as the system gives it, and "\n".
std::string ErrorLine(const char* prefix, DWORD code);
// Writes ErrorLine for the calling thread's last error to standard error.
void ReportLastError(const char* prefix);
