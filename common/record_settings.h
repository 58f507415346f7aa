// The optional values under the record key that the watchdog reads afresh
// every cycle and that `Dromlet install` may write: their names, defaults
// and accepted ranges in one place, so that both programs judge alike.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\ZorvaneIS";
constexpr wchar_t kServerExePathValue[] = L"ServerExePath";
constexpr wchar_t kRelaunchOnExitValue[] = L"RelaunchOnExit";
constexpr wchar_t kHealthCheckUrlValue[] = L"HealthCheckUrl";

// A REG_DWORD setting: absent, of another type or outside lowest..highest
// reads as `fallback`.
struct DwordSetting {
    const wchar_t* name;
    DWORD fallback;
    DWORD lowest;
    DWORD highest;
};

constexpr DwordSetting kHealthCheckIntervalSetting = {L"HealthCheckIntervalSeconds", 10, 1, 3600};
constexpr DwordSetting kHealthCheckFailuresSetting = {L"HealthCheckFailures", 3, 1, 100};
// A status from 200 up to this passes the check.
constexpr DwordSetting kHealthCheckMaxStatusSetting = {L"HealthCheckMaxStatus", 399, 200, 599};
// 0: the log only grows.
constexpr DwordSetting kLogMaxSizeSetting = {L"LogMaxSizeMB", 0, 1, 4096};
constexpr DwordSetting kLogKeepFilesSetting = {L"LogKeepFiles", 5, 1, 99};

constexpr bool InRange(const DwordSetting& setting, DWORD value)
{
    return value >= setting.lowest && value <= setting.highest;
}

// The value under the open record key, judged as above.
DWORD ReadDwordSetting(HKEY key, const DwordSetting& setting);
// A REG_SZ value under the open record key; absent or of another type: empty.
std::wstring ReadStringSetting(HKEY key, const wchar_t* name);

// What the health check asks: an http or https URL with a host.
struct HealthCheckTarget {
    std::wstring host;
    std::wstring path;  // with the query; "/" when the URL has none
    INTERNET_PORT port = 0;
    bool secure = false;
};
// False for any URL that the check cannot use (WinHttpCrackUrl's verdict,
// another scheme, no host).
bool SplitHealthCheckUrl(const std::wstring& url, HealthCheckTarget& target);
