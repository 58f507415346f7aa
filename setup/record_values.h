// The record's optional values as the setup tool sees them: the install words
// that set or delete them, and the values in effect that `status` shows.
// Kept apart from options.h: the watchdog's names of these values are wide.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One value that an install word sets or deletes.
struct RecordValueChange {
    const char* word;  // the install word that asked for it
    const wchar_t* name;
    bool remove = false;
    bool text = false;  // REG_SZ `textValue`, else REG_DWORD `number`
    DWORD number = 0;
    std::wstring textValue;
};
using RecordChanges = std::vector<RecordValueChange>;

// What `word` accepts, for its error lines; null when it is no record word.
const char* RecordWordAccepts(const char* word);
// Adds what `word value` asks to `changes`; false with a one-line `problem`
// when the value is not one that `word` accepts.
bool TakeRecordWord(const char* word, const char* value, RecordChanges& changes, std::string& problem);
// False when the words contradict each other (a health check setting beside
// `--health-check off`).
bool RecordChangesAgree(const RecordChanges& changes, std::string& problem);
// Sets and deletes the values under the record key, in the order given;
// false with the failed call's line in `problem`.
bool WriteRecordChanges(const RecordChanges& changes, std::string& problem);

// The record as the watchdog reads it: values out of range read as their defaults.
struct RecordInEffect {
    bool keyFound = false;
    std::string serverExePath;  // empty when missing
    bool relaunchOnExit = false;
    std::string healthCheckUrl;  // empty: no check
    bool healthCheckUsable = false;
    DWORD healthCheckIntervalSeconds = 0;
    DWORD healthCheckFailures = 0;
    DWORD healthCheckMaxStatus = 0;
    DWORD logMaxSizeMB = 0;  // 0: the log only grows
    DWORD logKeepFiles = 0;
};
RecordInEffect ReadRecordInEffect();

// Text between a code page (CP_ACP, CP_UTF8) and UTF-16.
std::wstring WidenText(const std::string& text, UINT codePage);
std::string NarrowText(const std::wstring& text, UINT codePage);
