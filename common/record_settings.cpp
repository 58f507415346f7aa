// The record's optional values as both the watchdog and the setup tool judge them.
#include "record_settings.h"

#include <cwchar>

DWORD ReadDwordSetting(HKEY key, const DwordSetting& setting)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(key, nullptr, setting.name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS ||
        !InRange(setting, value))
        return setting.fallback;
    return value;
}

std::wstring ReadStringSetting(HKEY key, const wchar_t* name)
{
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &value[0], &size) != ERROR_SUCCESS)
        return {};
    value.resize(wcslen(value.c_str()));
    return value;
}

bool SplitHealthCheckUrl(const std::wstring& url, HealthCheckTarget& target)
{
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components))
        return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    if (components.lpszHostName == nullptr || components.dwHostNameLength == 0)
        return false;
    target.host.assign(components.lpszHostName, components.dwHostNameLength);
    target.path.clear();
    if (components.lpszUrlPath != nullptr)
        target.path.assign(components.lpszUrlPath, components.dwUrlPathLength);
    if (components.lpszExtraInfo != nullptr)
        target.path.append(components.lpszExtraInfo, components.dwExtraInfoLength);
    if (target.path.empty())
        target.path = L"/";
    target.port = components.nPort;
    target.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}
