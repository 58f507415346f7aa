// The service log: the file is opened and closed for every line, so that it
// can be read, copied or deleted at any time while the service runs.
#include "log.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdarg>
#include <cwchar>

#include "scoped_handle.h"

namespace {

// Serialises this process's lines: the file admits one writer at a time, and
// a line whose open met another writer would reach only the debugger.
SRWLOCK LogLock = SRWLOCK_INIT;

void AppendBackslash(std::wstring& path)
{
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
}

std::string ToUtf8(const wchar_t* text)
{
    // The reported length counts the terminating NUL, which is not written.
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string bytes(static_cast<size_t>(length - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], length - 1, nullptr, nullptr);
    return bytes;
}

void AppendToFile(const std::wstring& path, const std::string& bytes)
{
    ScopedHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || bytes.empty())
        return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::wstring GetLogFolder()
{
    std::wstring folder;
    PWSTR known = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) {
        if (known != nullptr)
            folder = known;
        CoTaskMemFree(known);
        AppendBackslash(folder);
        folder += L"Tovimar\\ZorvaneService";
    } else {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH)
            return {};
        folder = temp;
        AppendBackslash(folder);
        folder += L"ZorvaneService";
    }
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return folder;
}

void WriteLog(const wchar_t* format, ...)
{
    wchar_t message[kMessageBufferUnits];
    va_list args;
    va_start(args, format);
    // The Microsoft form: %s takes a wide string, and a cut message reports -1.
    const int formatted = _vsnwprintf(message, kMessageBufferUnits - 1, format, args);
    va_end(args);
    if (formatted < 0 || formatted >= kMessageBufferUnits - 1)
        message[kMessageBufferUnits - 1] = L'\0';

    AcquireSRWLockExclusive(&LogLock);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t line[kLineBufferUnits];
    _snwprintf(line, kLineBufferUnits, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  %s\r\n", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message);
    line[kLineBufferUnits - 1] = L'\0';

    const std::string bytes = ToUtf8(line);
    std::wstring path = GetLogFolder();
    if (!path.empty()) {
        AppendBackslash(path);
        AppendToFile(path + kLogFileName, bytes);
    }
    OutputDebugStringW(line);
    ReleaseSRWLockExclusive(&LogLock);
}
