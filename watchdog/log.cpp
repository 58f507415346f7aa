// The service log: the file is opened and closed for every line, so that it
// can be read, copied or deleted at any time while the service runs. The
// service runs as SYSTEM, so before every line the folders and the file are
// checked through open handles, never trusted by their path: whatever a user
// made, replaced or planted there is secured again or receives no line, and
// no link that a user could have planted is followed.
#include "log.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <winternl.h>

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <vector>

#include "event_log.h"
#include "final_path.h"
#include "monitor.h"
#include "record_settings.h"
#include "scoped_handle.h"
#include "security_descriptor.h"

SecureLogObjectFunction g_secureLogObject = TakeOverLogObject;
bool (*g_isServiceAccount)(PSID user) = IsServiceAccount;
bool (*g_holdsServiceSid)(PSID serviceSid) = [](PSID serviceSid) {
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, serviceSid, &member) && member;
};
bool (*g_heldByOthers)(PSECURITY_DESCRIPTOR actual, const std::vector<PSID>& trusted) = HeldByOthers;

namespace {

// Serialises this process's lines: the file admits one writer at a time, and
// a line whose open met another writer would reach only the debugger. Also
// guards the LogState.
SRWLOCK LogLock = SRWLOCK_INIT;

// The levels: the folders outermost first, then service.log.
constexpr size_t kLogLevels = 3;

// A line that meets a sharing violation (a reader that shares nothing, say)
// is tried again for this long, in slices that a stop ends at once.
constexpr ULONGLONG kLogRetryMs = 1000;
constexpr DWORD kLogRetrySliceMs = 50;
// The size limit is read from the record at most this often, and a rotation
// that failed is not tried again sooner.
constexpr ULONGLONG kLogSettingsMs = 1000;
constexpr ULONGLONG kBytesPerMegabyte = 1024 * 1024;
constexpr wchar_t kKeptLogFormat[] = L"service.%lu.log";
constexpr int kLostReasonUnits = 64;
constexpr wchar_t kNoFolderReason[] = L"no usable log folder";
constexpr size_t kLinePrefixUnits = 25;

// Lines lost since the last line written, and the cause of the last one.
DWORD LostLines = 0;
wchar_t LostReason[kLostReasonUnits] = {};

// What became of one attempt at a step: done, worth another try (a sharing
// violation, say), or refused for good (a link, an unsecured level).
enum class Attempt { Done, Retry, Refused };

// The optional size limit as last read, and the rotation's progress.
struct Rotation {
    bool read = false;
    ULONGLONG readAt = 0;
    ULONGLONG maxBytes = 0;  // 0: the log only grows
    DWORD keepFiles = 0;
    ULONGLONG retryAt = 0;   // after a rotation that failed
    bool continues = false;  // the new service.log still needs its first line
};

// An object that this process secured, and its owner and DACL as read back
// right after. The same object reading back the same needs nothing more:
// Wine keeps no DACL, so there the readback never passes the check itself.
struct Remembered {
    bool valid = false;
    FileIdentity identity;
    std::vector<BYTE> descriptor;
};

// What the log keeps between lines.
struct LogState {
    bool serviceAccount = false;  // a lesser account: changes no owner and no DACL
    bool holdsServiceSid = false;
    bool inTemp = false;          // the log is kept in the temporary folder
    std::wstring where;           // the log file, for the events
    std::vector<std::vector<BYTE>> ownerSids;
    std::vector<PSID> owners;     // also who may make and hold the log's folders
    ScopedDescriptor folder, serviceFolder, file;
    ScopedDescriptor createdFolder, createdLastFolder, createdFile;
    std::vector<PSECURITY_DESCRIPTOR> folderAccepted, fileAccepted;
    Remembered remembered[kLogLevels];
    Rotation rotation;
};

// The folder checked last, open since its check.
struct PreparedFolder {
    std::wstring path;
    std::wstring expectedFile;  // service.log's final path, under the base folder's own final path
    size_t fileLevel = 0;
    ScopedHandle handle;
};

bool SidFromText(const std::wstring& text, std::vector<BYTE>& sid)
{
    PSID converted = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &converted))
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(converted);
    sid.assign(bytes, bytes + GetLengthSid(converted));
    LocalFree(converted);
    return true;
}

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return {};
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

bool MakeDescriptor(ScopedDescriptor& descriptor, const std::wstring& sddl)
{
    descriptor.reset(DescriptorFromSddl(sddl.c_str()));
    return descriptor.valid();
}

bool BuildState(LogState& state)
{
    // Without SHA-1 the service SID is unknown, and no entry names it.
    const std::wstring serviceSid = ServiceSidText(kLogServiceName);
    std::vector<std::vector<BYTE>> sids;  // SYSTEM, Administrators, this process's user, the service SID
    if (!TrustedLogSids(serviceSid, sids))
        return false;
    LogAccount account;
    account.user = SidText(sids[2].data());
    account.lesser = g_isServiceAccount(sids[2].data());
    account.serviceSid = serviceSid;
    account.holdsServiceSid = account.lesser && sids.size() > 3 && g_holdsServiceSid(sids[3].data());
    if (account.user.empty())
        return false;
    const LogDescriptors sddl = DescribeLog(account);
    state.serviceAccount = account.lesser;
    state.holdsServiceSid = account.holdsServiceSid;
    state.ownerSids.resize(sddl.owners.size());
    for (size_t i = 0; i < sddl.owners.size(); ++i) {
        if (!SidFromText(sddl.owners[i], state.ownerSids[i]))
            return false;
        state.owners.push_back(state.ownerSids[i].data());
    }
    if (!MakeDescriptor(state.folder, sddl.folder) || !MakeDescriptor(state.serviceFolder, sddl.lastFolder) ||
        !MakeDescriptor(state.file, sddl.file) || !MakeDescriptor(state.createdFolder, sddl.createdFolder) ||
        !MakeDescriptor(state.createdLastFolder, sddl.createdLastFolder) ||
        !MakeDescriptor(state.createdFile, sddl.createdFile))
        return false;
    state.folderAccepted = {state.folder.get(), state.serviceFolder.get()};
    state.fileAccepted = {state.file.get()};
    return true;
}

void AppendBackslash(std::wstring& path)
{
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
}

void ComposeLine(const wchar_t* message, wchar_t (&line)[kLineBufferUnits])
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    _snwprintf(line, kLineBufferUnits, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  %s\r\n", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message);
    line[kLineBufferUnits - 1] = L'\0';
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
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

// The folder itself, not what a link in its place points to; invalid when
// it is a link or no folder. The attributes are asked by path as well,
// because a handle that was opened through a link may report the target's.
HANDLE OpenPlainFolder(const std::wstring& folder, BY_HANDLE_FILE_INFORMATION& info)
{
    if (!IsPlainFolder(GetFileAttributesW(folder.c_str())))
        return nullptr;
    ScopedHandle handle(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || !GetFileInformationByHandle(handle.get(), &info) || !IsPlainFolder(info.dwFileAttributes))
        return nullptr;
    return handle.release();
}

// service.log opened by its name within the checked folder's handle, so
// that a link swapped in for a folder since its check cannot redirect the
// open, nor create the file elsewhere.
HANDLE OpenLogFile(HANDLE folder, PSECURITY_DESCRIPTOR created)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(kLogFileName);
    name.Length = static_cast<USHORT>(sizeof kLogFileName - sizeof(wchar_t));
    name.MaximumLength = static_cast<USHORT>(sizeof kLogFileName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder, created);
    IO_STATUS_BLOCK io = {};
    HANDLE file = nullptr;
    const NTSTATUS status = NtCreateFile(&file, FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                         &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                         nullptr, 0);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return file;
}

PSECURITY_DESCRIPTOR ReadDescriptor(HANDLE object)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return nullptr;
    return descriptor;
}

// Checks the folder or file open as `object` (`info` its information) and
// secures it again when it needs it and this process may; false when it
// stays unsecured. With `heldByUser`, a level that a user made or holds is
// not secured in place but reported there, to be moved aside.
bool CheckLogObject(LogState& state, HANDLE object, const BY_HANDLE_FILE_INFORMATION& info, const std::wstring& path,
                    size_t level, bool isFile, bool* heldByUser = nullptr)
{
    ScopedDescriptor actual(ReadDescriptor(object));
    if (!actual)
        return false;
    if (!NeedsSecuring(actual.get(), state.owners, isFile ? state.fileAccepted : state.folderAccepted))
        return true;
    const FileIdentity identity = IdentityOf(info);
    Remembered& remembered = state.remembered[level];
    if (remembered.valid && remembered.identity == identity && SameOwnerAndDacl(actual.get(), remembered.descriptor.data()))
        return true;
    if (state.serviceAccount)
        return false;
    if (heldByUser != nullptr && g_heldByOthers(actual.get(), state.owners)) {
        *heldByUser = true;
        return false;
    }
    if (!g_secureLogObject(path, isFile ? state.file.get() : state.folder.get(), &identity))
        return false;
    actual.reset(ReadDescriptor(object));
    if (!actual)
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(actual.get());
    remembered.valid = true;
    remembered.identity = identity;
    remembered.descriptor.assign(bytes, bytes + GetSecurityDescriptorLength(actual.get()));
    return true;
}

// Creates a missing level with the log's descriptor; any level must be a
// plain folder that passes CheckLogObject. Left open in `handle`. One that
// a user made or holds is moved aside (never deleted) and made afresh, so
// that handles its maker opened before reach nothing the service writes.
bool PrepareFolderLevel(LogState& state, const std::wstring& path, size_t level, bool last, ScopedHandle& handle)
{
    for (int pass = 0; pass < 2; ++pass) {
        bool created = false;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            // A lesser account could not make it as Dromlet install does.
            if (state.serviceAccount && !state.inTemp)
                return false;
            SECURITY_ATTRIBUTES security = {sizeof security,
                                            last ? state.createdLastFolder.get() : state.createdFolder.get(), FALSE};
            created = CreateDirectoryW(path.c_str(), &security) != FALSE;
            if (!created && GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
        }
        BY_HANDLE_FILE_INFORMATION info = {};
        handle.reset(OpenPlainFolder(path, info));
        bool heldByUser = false;
        if (handle && CheckLogObject(state, handle.get(), info, path, level, false, created ? nullptr : &heldByUser))
            return true;
        // A plain folder whose DACL leaves SYSTEM out is no folder of ours either.
        if (!handle)
            heldByUser = !created && IsPlainFolder(GetFileAttributesW(path.c_str()));
        if (!heldByUser || state.serviceAccount)
            return false;
        const FileIdentity identity = IdentityOf(info);
        const bool checked = handle.valid();
        handle.reset();
        if (!MoveLogObjectAside(path, AsideName(path), checked ? &identity : nullptr))
            return false;
    }
    return false;
}

HRESULT KnownProgramData(std::wstring& path)
{
    PWSTR known = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
    path = SUCCEEDED(found) && known != nullptr ? known : L"";
    CoTaskMemFree(known);
    return found;
}

// The base folder of the log's place and the levels below it.
bool LogPlace(const LogState& state, std::wstring& base, std::vector<std::wstring>& levels)
{
    if (!state.inTemp) {
        if (FAILED(KnownProgramData(base)))
            return false;
        levels = {kLogCompanyFolder, std::wstring(kLogCompanyFolder) + L"\\" + kLogFolderName};
        return true;
    }
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return false;
    base = temp;
    levels = {kLogFolderName};
    return true;
}

// GetLogFolder with LogLock held.
bool PrepareLogFolder(LogState& state, PreparedFolder& prepared)
{
    std::wstring base;
    std::vector<std::wstring> levels;
    if (!LogPlace(state, base, levels))
        return false;
    // Where the file must end up: a link on the way to the base folder is
    // the machine's own; one below it is not.
    const ScopedHandle baseHandle(CreateFileW(base.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring baseFinal;
    if (!baseHandle || !FinalPathOfHandle(baseHandle.get(), baseFinal))
        return false;
    AppendBackslash(base);
    AppendBackslash(baseFinal);
    for (size_t level = 0; level < levels.size(); ++level) {
        if (!PrepareFolderLevel(state, base + levels[level], level, level + 1 == levels.size(), prepared.handle))
            return false;
    }
    prepared.path = base + levels.back();
    prepared.expectedFile = baseFinal + levels.back() + L"\\" + kLogFileName;
    prepared.fileLevel = levels.size();
    return true;
}

// service.log in the prepared folder, opened for appending and checked:
// no link, no second name (a hard link to a file elsewhere), the file meant
// and secured. `reason` says why not.
Attempt OpenCheckedLog(LogState& state, const PreparedFolder& folder, ScopedHandle& file, std::wstring& reason)
{
    const std::wstring path = folder.path + L"\\" + kLogFileName;
    file.reset(OpenLogFile(folder.handle.get(), state.createdFile.get()));
    if (!file && GetLastError() == ERROR_ACCESS_DENIED && !state.serviceAccount) {
        // Planted with a DACL that leaves SYSTEM out.
        g_secureLogObject(path, state.file.get(), nullptr);
        file.reset(OpenLogFile(folder.handle.get(), state.createdFile.get()));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) {
        reason = (file ? L"GetFileInformationByHandle err=" : L"NtCreateFile err=") + std::to_wstring(GetLastError());
        return Attempt::Retry;
    }
    reason = L"service.log is a link";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1)
        return Attempt::Refused;
    std::wstring inFolder;
    std::wstring actual;
    if (!FinalPathOfHandle(folder.handle.get(), inFolder) || !FinalPathOfHandle(file.get(), actual))
        return Attempt::Refused;
    AppendBackslash(inFolder);
    if (!SamePath(actual, inFolder + kLogFileName) || !SamePath(actual, folder.expectedFile))
        return Attempt::Refused;
    reason = L"service.log cannot be secured";
    if (!CheckLogObject(state, file.get(), info, path, folder.fileLevel, true))
        return Attempt::Refused;
    return Attempt::Done;
}

// LogMaxSizeMB and LogKeepFiles, read afresh at most once in kLogSettingsMs.
void ReadRotationSettings(Rotation& rotation)
{
    const ULONGLONG now = GetTickCount64();
    if (rotation.read && now - rotation.readAt < kLogSettingsMs)
        return;
    rotation.read = true;
    rotation.readAt = now;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        rotation.maxBytes = 0;
        return;
    }
    const ScopedKey scopedKey(key);
    rotation.maxBytes = ReadDwordSetting(key, kLogMaxSizeSetting) * kBytesPerMegabyte;
    rotation.keepFiles = ReadDwordSetting(key, kLogKeepFilesSetting);
}

// Under a lesser account the service may only append to its log: it can
// neither rename nor delete a file, so the log is never rotated there.
bool RotationDue(LogState& state, HANDLE file, const wchar_t* line)
{
    Rotation& rotation = state.rotation;
    ReadRotationSettings(rotation);
    LARGE_INTEGER size;
    return rotation.maxBytes != 0 && !state.serviceAccount && GetTickCount64() >= rotation.retryAt &&
           GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
           static_cast<ULONGLONG>(size.QuadPart) + ToUtf8(line).size() > rotation.maxBytes;
}

std::wstring KeptLogPath(const std::wstring& folder, DWORD number)
{
    wchar_t name[32];
    _snwprintf(name, 32, kKeptLogFormat, number);
    name[31] = L'\0';
    return folder + L"\\" + name;
}

// service.log becomes service.1.log and each kept file moves up one; the
// oldest beyond `keep` goes. Only the files below the first free number
// move, so a rotation that failed half-way (a file held open) goes on where
// it stopped the next time and never deletes a kept file twice. The folder
// was checked and secured for this line: only SYSTEM and Administrators may
// change what it holds, so its files are named by path.
bool RotateLog(const std::wstring& folder, DWORD keep)
{
    for (DWORD number = keep + 1; number <= kLogKeepFilesSetting.highest; ++number)
        DeleteFileW(KeptLogPath(folder, number).c_str());
    DWORD gap = 1;
    while (gap <= keep && GetFileAttributesW(KeptLogPath(folder, gap).c_str()) != INVALID_FILE_ATTRIBUTES)
        ++gap;
    if (gap > keep) {
        gap = keep;
        if (!DeleteFileW(KeptLogPath(folder, keep).c_str()))
            return false;
    }
    for (DWORD number = gap; number > 1; --number) {
        if (!MoveFileExW(KeptLogPath(folder, number - 1).c_str(), KeptLogPath(folder, number).c_str(), 0))
            return false;
    }
    return MoveFileExW((folder + L"\\" + kLogFileName).c_str(), KeptLogPath(folder, 1).c_str(), 0) != FALSE;
}

// A line of our own with the time of `line`.
std::wstring LineLike(const wchar_t* line, const wchar_t* format, DWORD number, const wchar_t* text = L"")
{
    wchar_t message[kMessageBufferUnits];
    _snwprintf(message, kMessageBufferUnits, format, number, text);
    message[kMessageBufferUnits - 1] = L'\0';
    return std::wstring(line, kLinePrefixUnits) + message + L"\r\n";
}

// Appends `line` to service.log in the prepared folder, after starting a new
// file when the line would take it past the size limit, and after the lines
// that the new file and any lost lines call for.
Attempt AppendToLog(LogState& state, const PreparedFolder& folder, const wchar_t* line, std::wstring& reason)
{
    ScopedHandle file;
    Attempt opened = OpenCheckedLog(state, folder, file, reason);
    if (opened != Attempt::Done)
        return opened;
    if (RotationDue(state, file.get(), line)) {
        file.reset();
        if (RotateLog(folder.path, state.rotation.keepFiles))
            state.rotation.continues = true;
        else
            state.rotation.retryAt = GetTickCount64() + kLogSettingsMs;
        opened = OpenCheckedLog(state, folder, file, reason);
        if (opened != Attempt::Done)
            return opened;
    }
    std::wstring before;
    if (state.rotation.continues)
        before += LineLike(line, L"Log continues from service.%lu.log", 1);
    if (LostLines != 0)
        before += LineLike(line, L"Log lines lost: %lu (%s)", LostLines, LostReason);
    const std::string bytes = ToUtf8((before + line).c_str());
    DWORD written = 0;
    if (bytes.empty() || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        reason = L"WriteFile err=" + std::to_wstring(GetLastError());
        // A part written stays: the whole line again would split it.
        return written == 0 ? Attempt::Retry : Attempt::Refused;
    }
    state.rotation.continues = false;
    LostLines = 0;
    if (!before.empty())
        OutputDebugStringW(before.c_str());
    return Attempt::Done;
}

// Set once a stop has arrived: from then on no line waits for a reader.
std::atomic<bool> RetriesStopped{false};

// Waits one slice before the next try; false when the service is stopping.
bool WaitBeforeRetry()
{
    if (RetriesStopped.load())
        return false;
    const HANDLE stop = StopEvent;
    if (stop == nullptr) {
        Sleep(kLogRetrySliceMs);
        return true;
    }
    return WaitForSingleObject(stop, kLogRetrySliceMs) == WAIT_TIMEOUT;
}

constexpr wchar_t kFallbackMessage[] = L"Log kept in the temporary folder: ";

// Why the log cannot be written under ProgramData, `error` the last error
// of the attempt.
std::wstring ProgramDataTrouble(const LogState& state, DWORD error)
{
    std::wstring folder;
    const HRESULT found = KnownProgramData(folder);
    if (FAILED(found))
        return L"SHGetKnownFolderPath failed rc=" + std::to_wstring(static_cast<long>(found));
    AppendBackslash(folder);
    folder += std::wstring(kLogCompanyFolder) + L"\\" + kLogFolderName;
    if (state.serviceAccount && GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        return folder + L" is missing (Dromlet install prepares it)";
    return folder + L"\\" + kLogFileName + L" cannot be written (err=" + std::to_wstring(error) + L")";
}

// From here on the log is kept in the temporary folder, and its first line
// there says why; the Application log says so too.
void FallBack(LogState& state, const std::wstring& why)
{
    state.inTemp = true;
    std::wstring base;
    std::vector<std::wstring> levels;
    state.where = LogPlace(state, base, levels) ? base + levels.back() + L"\\" + kLogFileName : kLogFileName;
    wchar_t line[kLineBufferUnits];
    ComposeLine((kFallbackMessage + why).c_str(), line);
    PreparedFolder folder;
    std::wstring reason;
    if (PrepareLogFolder(state, folder) && AppendToLog(state, folder, line, reason) == Attempt::Done)
        ReportLogTrouble(LogTrouble::FellBack, why, state.where);
    else
        ReportLogTrouble(LogTrouble::NoUsableLog, why + L", nor " + state.where, state.where);
    OutputDebugStringW(line);
}

// Decided before the first line: a lesser account without its service SID
// may write nothing under ProgramData.
void ChooseLogPlace(LogState& state)
{
    if (state.serviceAccount && !state.holdsServiceSid) {
        FallBack(state, std::wstring(L"the service SID NT SERVICE\\") + kLogServiceName +
                            L" is missing from the token (a new SID type takes effect when Windows restarts)");
        return;
    }
    // A file held open by a reader is no reason to leave: its lines are
    // retried, and counted when lost.
    PreparedFolder folder;
    ScopedHandle file;
    std::wstring reason;
    if (PrepareLogFolder(state, folder) && OpenCheckedLog(state, folder, file, reason) != Attempt::Refused) {
        state.where = folder.path + L"\\" + kLogFileName;
        return;
    }
    FallBack(state, ProgramDataTrouble(state, GetLastError()));
}

// A lesser account does not make a vanished log folder again: the log moves
// to the temporary folder once.
void KeepLogPlace(LogState& state)
{
    std::wstring base;
    std::vector<std::wstring> levels;
    if (state.serviceAccount && !state.inTemp && LogPlace(state, base, levels) &&
        GetFileAttributesW((base + levels.back()).c_str()) == INVALID_FILE_ATTRIBUTES)
        FallBack(state, ProgramDataTrouble(state, ERROR_PATH_NOT_FOUND));
}

// Allocated once and never freed: the process may end while ServiceMain
// still writes its last lines, and no destructor may run under them.
LogState* State()
{
    static LogState* state = nullptr;
    if (state == nullptr) {
        LogState* built = new LogState;
        if (BuildState(*built)) {
            state = built;
            ChooseLogPlace(*state);
        } else {
            const DWORD error = GetLastError();
            delete built;
            ReportLogTrouble(LogTrouble::NoUsableLog,
                             L"its security descriptors cannot be made (err=" + std::to_wstring(error) + L")", L"");
        }
    }
    return state;
}

}  // namespace

LogDescriptors DescribeLog(const LogAccount& account)
{
    // A lesser account whose token lacks the service SID writes only into
    // its own temporary folder, whose entries name the account itself.
    const std::wstring writer = account.lesser && !account.holdsServiceSid ? account.user : account.serviceSid;
    const LogObject lastFolder = writer.empty() ? LogObject::Folder : LogObject::ServiceFolder;
    // The service SID, which the token holds with SE_GROUP_OWNER, owns what a
    // lesser account makes: other services of a shared account then get no
    // implicit WRITE_DAC on it. Without it, the account's default owner.
    const std::wstring owner = !account.lesser ? L"O:BA" : account.holdsServiceSid ? L"O:" + account.serviceSid : L"";
    LogDescriptors sddl;
    sddl.owners = {L"S-1-5-18", L"S-1-5-32-544", account.user};
    if (!account.serviceSid.empty())
        sddl.owners.push_back(account.serviceSid);
    sddl.folder = LogObjectSddl(LogObject::Folder, writer);
    sddl.lastFolder = LogObjectSddl(lastFolder, writer);
    sddl.file = LogObjectSddl(LogObject::File, writer);
    sddl.createdFolder = owner + LogObjectSddl(LogObject::Folder, writer, false);
    sddl.createdLastFolder = owner + LogObjectSddl(account.lesser ? lastFolder : LogObject::Folder, writer, false);
    sddl.createdFile = owner + LogObjectSddl(LogObject::File, writer, false);
    return sddl;
}

void StopLogRetries() { RetriesStopped.store(true); }

std::wstring LesserAccountOwner()
{
    AcquireSRWLockExclusive(&LogLock);
    const LogState* state = State();
    const bool owns = state != nullptr && state->serviceAccount && state->holdsServiceSid;
    ReleaseSRWLockExclusive(&LogLock);
    return owns ? ServiceSidText(kLogServiceName) : std::wstring();
}

std::wstring GetLogFolder()
{
    AcquireSRWLockExclusive(&LogLock);
    PreparedFolder folder;
    LogState* state = State();
    const bool prepared = state != nullptr && PrepareLogFolder(*state, folder);
    ReleaseSRWLockExclusive(&LogLock);
    return prepared ? folder.path : std::wstring();
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
    wchar_t line[kLineBufferUnits];
    ComposeLine(message, line);

    LogState* state = State();
    if (state != nullptr)
        KeepLogPlace(*state);
    std::wstring reason = kNoFolderReason;
    Attempt attempt = Attempt::Refused;
    const ULONGLONG giveUpAt = GetTickCount64() + kLogRetryMs;
    while (state != nullptr) {
        PreparedFolder folder;
        reason = kNoFolderReason;
        attempt = PrepareLogFolder(*state, folder) ? AppendToLog(*state, folder, line, reason) : Attempt::Refused;
        if (attempt != Attempt::Retry || GetTickCount64() >= giveUpAt || !WaitBeforeRetry())
            break;
    }
    const bool lost = attempt != Attempt::Done;
    std::wstring where;
    if (lost) {
        ++LostLines;
        lstrcpynW(LostReason, reason.c_str(), kLostReasonUnits);
        where = state != nullptr ? state->where : L"";
    }
    OutputDebugStringW(line);
    ReleaseSRWLockExclusive(&LogLock);
    // Outside the lock: the event never writes to the log.
    if (lost)
        ReportLogTrouble(LogTrouble::LinesLost, reason, where, 1);
}
