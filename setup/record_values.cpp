// The record's optional values: the install words that write them, judged
// with the watchdog's own ranges and URL parser, and the values in effect.
#include "record_values.h"

#include <cstdlib>
#include <cstring>

#include "record_settings.h"
#include "scoped_handle.h"

namespace {

enum class WordKind { OnOff, Url, Number, NumberOrOff };

struct RecordWord {
    const char* word;
    WordKind kind;
    const wchar_t* name;
    const DwordSetting* range;  // numbers only
    const char* accepts;
};

const RecordWord kRecordWords[] = {
    {"--relaunch-on-exit", WordKind::OnOff, kRelaunchOnExitValue, nullptr, "on or off"},
    {"--health-check", WordKind::Url, kHealthCheckUrlValue, nullptr, "an http:// or https:// URL with a host, or off"},
    {"--health-interval", WordKind::Number, kHealthCheckIntervalSetting.name, &kHealthCheckIntervalSetting,
     "seconds, 1 to 3600"},
    {"--health-failures", WordKind::Number, kHealthCheckFailuresSetting.name, &kHealthCheckFailuresSetting,
     "a count, 1 to 100"},
    {"--health-max-status", WordKind::Number, kHealthCheckMaxStatusSetting.name, &kHealthCheckMaxStatusSetting,
     "an HTTP status, 200 to 599"},
    {"--log-max-mb", WordKind::NumberOrOff, kLogMaxSizeSetting.name, &kLogMaxSizeSetting,
     "megabytes, 1 to 4096, or off"},
    {"--log-keep", WordKind::Number, kLogKeepFilesSetting.name, &kLogKeepFilesSetting, "a count of files, 1 to 99"},
};

// The settings that mean nothing without a URL, deleted with it.
const DwordSetting* const kHealthCheckSettings[] = {&kHealthCheckIntervalSetting, &kHealthCheckFailuresSetting,
                                                    &kHealthCheckMaxStatusSetting};

const RecordWord* FindRecordWord(const char* word)
{
    for (const RecordWord& candidate : kRecordWords) {
        if (_stricmp(word, candidate.word) == 0)
            return &candidate;
    }
    return nullptr;
}

// Decimal digits only, within the setting's range.
bool ParseNumber(const char* text, const DwordSetting& range, DWORD& number)
{
    const size_t length = std::strlen(text);
    if (length == 0 || length > 10 || std::strspn(text, "0123456789") != length)
        return false;
    const unsigned long long value = std::strtoull(text, nullptr, 10);
    if (value > range.highest || !InRange(range, static_cast<DWORD>(value)))
        return false;
    number = static_cast<DWORD>(value);
    return true;
}

RecordValueChange Removal(const char* word, const wchar_t* name)
{
    RecordValueChange change;
    change.word = word;
    change.name = name;
    change.remove = true;
    return change;
}

}  // namespace

const char* RecordWordAccepts(const char* word)
{
    const RecordWord* known = FindRecordWord(word);
    return known != nullptr ? known->accepts : nullptr;
}

bool TakeRecordWord(const char* word, const char* value, RecordChanges& changes, std::string& problem)
{
    const RecordWord* known = FindRecordWord(word);
    if (known == nullptr)
        return false;
    const bool off = _stricmp(value, "off") == 0;
    RecordValueChange change;
    change.word = known->word;
    change.name = known->name;
    bool accepted = true;
    switch (known->kind) {
    case WordKind::OnOff:
        // Off deletes the value: the watchdog's default is the check once a minute.
        change.remove = off;
        change.number = 1;
        accepted = off || _stricmp(value, "on") == 0;
        break;
    case WordKind::Url: {
        HealthCheckTarget target;
        change.remove = off;
        change.text = true;
        change.textValue = WidenText(value, CP_ACP);
        accepted = off || SplitHealthCheckUrl(change.textValue, target);
        break;
    }
    case WordKind::NumberOrOff:
        change.remove = off;
        accepted = off || ParseNumber(value, *known->range, change.number);
        break;
    case WordKind::Number:
        accepted = ParseNumber(value, *known->range, change.number);
        break;
    }
    if (!accepted) {
        problem = std::string("install: ") + known->word + " takes " + known->accepts + ", not " + value;
        return false;
    }
    changes.push_back(change);
    if (known->kind == WordKind::Url && off) {
        for (const DwordSetting* setting : kHealthCheckSettings)
            changes.push_back(Removal(known->word, setting->name));
    }
    return true;
}

bool RecordChangesAgree(const RecordChanges& changes, std::string& problem)
{
    const RecordValueChange* urlRemoved = nullptr;
    for (const RecordValueChange& change : changes) {
        if (change.remove && std::wcscmp(change.name, kHealthCheckUrlValue) == 0)
            urlRemoved = &change;
    }
    if (urlRemoved == nullptr)
        return true;
    for (const RecordValueChange& change : changes) {
        for (const DwordSetting* setting : kHealthCheckSettings) {
            if (!change.remove && std::wcscmp(change.name, setting->name) == 0) {
                problem = std::string("install: ") + change.word + " cannot go with " + urlRemoved->word + " off";
                return false;
            }
        }
    }
    return true;
}

bool WriteRecordChanges(const RecordChanges& changes, std::string& problem)
{
    if (changes.empty())
        return true;
    HKEY opened = nullptr;
    const LONG open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &opened);
    if (open != ERROR_SUCCESS) {
        problem = "RegOpenKeyEx: " + std::to_string(open) + "\n";
        return false;
    }
    const ScopedKey key(opened);
    for (const RecordValueChange& change : changes) {
        if (change.remove) {
            const LONG removed = RegDeleteValueW(key.get(), change.name);
            if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
                problem = "RegDeleteValue: " + std::to_string(removed) + "\n";
                return false;
            }
            continue;
        }
        const LONG set =
            change.text
                ? RegSetValueExW(key.get(), change.name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(change.textValue.c_str()),
                                 static_cast<DWORD>((change.textValue.size() + 1) * sizeof(wchar_t)))
                : RegSetValueExW(key.get(), change.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&change.number),
                                 sizeof change.number);
        if (set != ERROR_SUCCESS) {
            problem = "RegSetValueEx: " + std::to_string(set) + "\n";
            return false;
        }
    }
    return true;
}

RecordInEffect ReadRecordInEffect()
{
    RecordInEffect record;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        opened = nullptr;
    const ScopedKey key(opened);
    record.keyFound = key.valid();
    // A missing key reads as every default, as the watchdog reads it.
    record.serverExePath = NarrowText(ReadStringSetting(key.get(), kServerExePathValue), CP_ACP);
    DWORD relaunch = 0;
    DWORD size = sizeof relaunch;
    record.relaunchOnExit = RegGetValueW(key.get(), nullptr, kRelaunchOnExitValue, RRF_RT_REG_DWORD, nullptr,
                                         &relaunch, &size) == ERROR_SUCCESS &&
                            relaunch == 1;
    const std::wstring url = ReadStringSetting(key.get(), kHealthCheckUrlValue);
    HealthCheckTarget target;
    record.healthCheckUrl = NarrowText(url, CP_ACP);
    record.healthCheckUsable = !url.empty() && SplitHealthCheckUrl(url, target);
    record.healthCheckIntervalSeconds = ReadDwordSetting(key.get(), kHealthCheckIntervalSetting);
    record.healthCheckFailures = ReadDwordSetting(key.get(), kHealthCheckFailuresSetting);
    record.healthCheckMaxStatus = ReadDwordSetting(key.get(), kHealthCheckMaxStatusSetting);
    record.logMaxSizeMB = ReadDwordSetting(key.get(), kLogMaxSizeSetting);
    record.logKeepFiles = ReadDwordSetting(key.get(), kLogKeepFilesSetting);
    return record;
}

std::wstring WidenText(const std::string& text, UINT codePage)
{
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    if (length > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string NarrowText(const std::wstring& text, UINT codePage)
{
    const int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(length, '\0');
    if (length > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                            nullptr);
    return narrow;
}
