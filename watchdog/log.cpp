// The service log: the file is opened and closed for every line, so that it
// can be read, copied or deleted at any time while the service runs. The
// service runs as SYSTEM, so the log never follows a link that a user could
// have planted in its place.
#include "log.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "final_path.h"
#include "scoped_handle.h"
#include "security_descriptor.h"

namespace {

// Serialises this process's lines: the file admits one writer at a time, and
// a line whose open met another writer would reach only the debugger. Also
// guards SecuredFolders.
SRWLOCK LogLock = SRWLOCK_INIT;

// Folders that this process has created or given the log's owner and DACL.
std::vector<std::wstring> SecuredFolders;

void AppendBackslash(std::wstring& path)
{
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
}

void MaskControlCharacters(wchar_t* text)
{
    for (; *text != L'\0'; ++text) {
        if (*text < 0x20 || *text == 0x7F)
            *text = L'?';
    }
}

std::string ToUtf8(const wchar_t* text)
{
    // Explicit lengths: no terminating NUL is converted, and a result that
    // would not fit is refused whole rather than cut inside a character.
    const int units = static_cast<int>(wcslen(text));
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, units, &bytes[0], length, nullptr, nullptr) != length)
        return {};
    return bytes;
}

bool IsPlainFolder(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsSecured(const std::wstring& folder)
{
    for (const std::wstring& secured : SecuredFolders) {
        if (CompareStringOrdinal(secured.c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// The folder itself, not what a link in its place points to; invalid when
// it is a link or no folder. The attributes are asked by path as well,
// because a handle that was opened through a link may report the target's.
ScopedHandle OpenPlainFolder(const std::wstring& folder, DWORD access)
{
    if (!IsPlainFolder(GetFileAttributesW(folder.c_str())))
        return ScopedHandle();
    ScopedHandle handle(CreateFileW(folder.c_str(), access | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle || !GetFileInformationByHandle(handle.get(), &info) || !IsPlainFolder(info.dwFileAttributes))
        return ScopedHandle();
    return ScopedHandle(handle.release());
}

// Creates `folder` with the log's descriptor. A folder that exists already
// (someone may have made it first) must be a plain folder; it gets the same
// owner and DACL once per process, so that its maker loses write access.
bool SecureFolder(const std::wstring& folder, PSECURITY_DESCRIPTOR descriptor)
{
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
        if (CreateDirectoryW(folder.c_str(), &security)) {
            SecuredFolders.push_back(folder);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        attributes = GetFileAttributesW(folder.c_str());
    }
    if (!IsPlainFolder(attributes))
        return false;
    if (IsSecured(folder))
        return true;
    // READ_CONTROL too: setting a DACL reads the one in place first.
    const ScopedHandle handle = OpenPlainFolder(folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
    if (!handle)
        return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return false;
    if (SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        owner, nullptr, dacl, nullptr) != ERROR_SUCCESS)
        return false;
    SecuredFolders.push_back(folder);
    return true;
}

// GetLogFolder with LogLock held.
std::wstring PrepareLogFolder()
{
    std::vector<std::wstring> levels;
    PWSTR known = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) {
        std::wstring base = known != nullptr ? known : L"";
        CoTaskMemFree(known);
        AppendBackslash(base);
        levels.push_back(base + L"Tovimar");
        levels.push_back(base + L"Tovimar\\ZorvaneService");
    } else {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH)
            return {};
        std::wstring base = temp;
        AppendBackslash(base);
        levels.push_back(base + L"ZorvaneService");
    }
    const ScopedDescriptor descriptor(DescriptorFromSddl(kLogFolderSddl));
    if (!descriptor)
        return {};
    for (const std::wstring& level : levels) {
        if (!SecureFolder(level, descriptor.get()))
            return {};
    }
    return levels.back();
}

// Appends to service.log in `folder` unless the file is a link or has a
// second name (a hard link to a file elsewhere), or resolves to a file
// outside the folder.
void AppendToLog(const std::wstring& folder, const std::string& bytes)
{
    const ScopedHandle folderHandle = OpenPlainFolder(folder, 0);
    if (!folderHandle)
        return;
    std::wstring path = folder;
    AppendBackslash(path);
    ScopedHandle file(CreateFileW((path + kLogFileName).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1)
        return;
    std::wstring expected;
    std::wstring actual;
    if (!FinalPathOfHandle(folderHandle.get(), expected) || !FinalPathOfHandle(file.get(), actual))
        return;
    AppendBackslash(expected);
    expected += kLogFileName;
    if (CompareStringOrdinal(actual.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL)
        return;
    if (bytes.empty())
        return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::wstring GetLogFolder()
{
    AcquireSRWLockExclusive(&LogLock);
    std::wstring folder = PrepareLogFolder();
    ReleaseSRWLockExclusive(&LogLock);
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
    MaskControlCharacters(message);

    AcquireSRWLockExclusive(&LogLock);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t line[kLineBufferUnits];
    _snwprintf(line, kLineBufferUnits, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  %s\r\n", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message);
    line[kLineBufferUnits - 1] = L'\0';

    const std::wstring folder = PrepareLogFolder();
    if (!folder.empty())
        AppendToLog(folder, ToUtf8(line));
    OutputDebugStringW(line);
    ReleaseSRWLockExclusive(&LogLock);
}
