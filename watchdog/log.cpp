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

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "event_log.h"
#include "final_path.h"
#include "scoped_handle.h"
#include "security_descriptor.h"

SecureLogObjectFunction g_secureLogObject = TakeOverLogObject;
bool (*g_isServiceAccount)(PSID user) = IsServiceAccount;
bool (*g_holdsServiceSid)(PSID serviceSid) = [](PSID serviceSid) {
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, serviceSid, &member) && member;
};

namespace {

// Serialises this process's lines: the file admits one writer at a time, and
// a line whose open met another writer would reach only the debugger. Also
// guards the LogState.
SRWLOCK LogLock = SRWLOCK_INIT;

// The levels: the folders outermost first, then service.log.
constexpr size_t kLogLevels = 3;

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
    std::vector<PSID> owners;
    ScopedDescriptor folder, serviceFolder, file;
    ScopedDescriptor createdFolder, createdLastFolder, createdFile;
    std::vector<PSECURITY_DESCRIPTOR> folderAccepted, fileAccepted;
    Remembered remembered[kLogLevels];
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

bool ReadTokenUser(std::vector<BYTE>& user)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const ScopedHandle scopedToken(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return false;
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    user.assign(bytes, bytes + GetLengthSid(sid));
    return true;
}

bool MakeDescriptor(ScopedDescriptor& descriptor, const std::wstring& sddl)
{
    descriptor.reset(DescriptorFromSddl(sddl.c_str()));
    return descriptor.valid();
}

bool BuildState(LogState& state)
{
    std::vector<BYTE> user;
    if (!ReadTokenUser(user))
        return false;
    LogAccount account;
    account.user = SidText(user.data());
    account.lesser = g_isServiceAccount(user.data());
    // Without SHA-1 the service SID is unknown, and no entry names it.
    account.serviceSid = ServiceSidText(kLogServiceName);
    std::vector<BYTE> serviceSid;
    account.holdsServiceSid = account.lesser && !account.serviceSid.empty() &&
                              SidFromText(account.serviceSid, serviceSid) && g_holdsServiceSid(serviceSid.data());
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
    ScopedHandle handle(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || !GetFileInformationByHandle(handle.get(), &info) || !IsPlainFolder(info.dwFileAttributes))
        return nullptr;
    return handle.release();
}

HANDLE OpenLogFile(const std::wstring& path, PSECURITY_DESCRIPTOR created)
{
    SECURITY_ATTRIBUTES security = {sizeof security, created, FALSE};
    return CreateFileW(path.c_str(), FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                       &security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
// stays unsecured.
bool CheckLogObject(LogState& state, HANDLE object, const BY_HANDLE_FILE_INFORMATION& info, const std::wstring& path,
                    size_t level, bool isFile)
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
    if (state.serviceAccount ||
        !g_secureLogObject(path, isFile ? state.file.get() : state.folder.get(), &identity))
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
// plain folder that passes CheckLogObject. Left open in `handle`.
bool PrepareFolderLevel(LogState& state, const std::wstring& path, size_t level, bool last, ScopedHandle& handle)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // A lesser account could not make it as Dromlet install does.
        if (state.serviceAccount && !state.inTemp)
            return false;
        SECURITY_ATTRIBUTES security = {sizeof security,
                                        last ? state.createdLastFolder.get() : state.createdFolder.get(), FALSE};
        if (!CreateDirectoryW(path.c_str(), &security) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    handle.reset(OpenPlainFolder(path, info));
    if (!handle && !state.serviceAccount && IsPlainFolder(GetFileAttributesW(path.c_str()))) {
        // Its maker left SYSTEM out of its DACL: taken over before it can be read.
        g_secureLogObject(path, state.folder.get(), nullptr);
        handle.reset(OpenPlainFolder(path, info));
    }
    return handle && CheckLogObject(state, handle.get(), info, path, level, false);
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

// Appends to service.log in the prepared folder unless the file is a link
// or has a second name (a hard link to a file elsewhere), resolves to
// another file than the one meant, or stays unsecured; false when the bytes were not written. Empty bytes
// only check that they could be.
bool AppendToLog(LogState& state, const PreparedFolder& folder, const std::string& bytes)
{
    const std::wstring path = folder.path + L"\\" + kLogFileName;
    ScopedHandle file(OpenLogFile(path, state.createdFile.get()));
    if (!file && GetLastError() == ERROR_ACCESS_DENIED && !state.serviceAccount) {
        // Planted with a DACL that leaves SYSTEM out.
        g_secureLogObject(path, state.file.get(), nullptr);
        file.reset(OpenLogFile(path, state.createdFile.get()));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1)
        return false;
    std::wstring inFolder;
    std::wstring actual;
    if (!FinalPathOfHandle(folder.handle.get(), inFolder) || !FinalPathOfHandle(file.get(), actual))
        return false;
    AppendBackslash(inFolder);
    if (!SamePath(actual, inFolder + kLogFileName) || !SamePath(actual, folder.expectedFile))
        return false;
    if (!CheckLogObject(state, file.get(), info, path, folder.fileLevel, true))
        return false;
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
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
    if (PrepareLogFolder(state, folder) && AppendToLog(state, folder, ToUtf8(line)))
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
    PreparedFolder folder;
    if (PrepareLogFolder(state, folder) && AppendToLog(state, folder, std::string())) {
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
    PreparedFolder folder;
    if (state != nullptr) {
        KeepLogPlace(*state);
        if (!PrepareLogFolder(*state, folder) || !AppendToLog(*state, folder, ToUtf8(line)))
            ReportLogTrouble(LogTrouble::LinesLost, L"err=" + std::to_wstring(GetLastError()), state->where, 1);
    }
    OutputDebugStringW(line);
    ReleaseSRWLockExclusive(&LogLock);
}
