// The log's folders for a service under a lesser account, secured by the
// administrator who installs it.
#include "log_folders.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

#include "log_security.h"
#include "options.h"
#include "scoped_handle.h"

namespace {

bool StoredAccount(const std::string& serviceName, std::string& account)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ReportLastError("OpenSCManager: ");
        return false;
    }
    ScopedService service(OpenServiceA(manager.get(), serviceName.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) {
        ReportLastError("OpenService: ");
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !QueryServiceConfigA(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                            needed, &needed)) {
        ReportLastError("QueryServiceConfig: ");
        return false;
    }
    const char* name = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->lpServiceStartName;
    account = name != nullptr ? name : "";
    return true;
}

std::string Narrow(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(length) - 1);
    return narrow;
}

void ReportUnsecured(const std::wstring& path)
{
    const DWORD code = GetLastError();
    WriteError(ErrorLine(("install: cannot secure " + Narrow(path) + ": ").c_str(), code));
}

// Whether someone but `trusted` made the folder at `path` or may change it;
// so too when its descriptor cannot even be read.
bool HeldByUser(const std::wstring& path, const std::vector<PSID>& trusted)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    const ScopedDescriptor scoped(descriptor);
    return HeldByOthers(descriptor, trusted);
}

// Created with `descriptor`; an existing folder (no link) that a user made or
// holds is moved aside and made afresh, any other is given its owner and DACL.
bool SecureFolder(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, const std::vector<PSID>& trusted)
{
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    if (CreateDirectoryW(path.c_str(), &security))
        return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            SetLastError(ERROR_DIRECTORY);
        else if (HeldByUser(path, trusted) ? MoveLogObjectAside(path, AsideName(path), nullptr) &&
                                                 CreateDirectoryW(path.c_str(), &security)
                                           : TakeOverLogObject(path, descriptor, nullptr))
            return true;
    }
    ReportUnsecured(path);
    return false;
}

}  // namespace

bool PrepareLogFolders(const std::string& serviceName)
{
    std::string account;
    if (!StoredAccount(serviceName, account))
        return false;
    if (account.empty() || _stricmp(account.c_str(), "LocalSystem") == 0)
        return true;

    PWSTR known = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
    std::wstring base = SUCCEEDED(found) && known != nullptr ? known : L"";
    CoTaskMemFree(known);
    if (FAILED(found)) {
        WriteError(ErrorLine("SHGetKnownFolderPath: ", static_cast<DWORD>(found)));
        return false;
    }
    if (!base.empty() && base.back() != L'\\')
        base += L'\\';
    const std::wstring sid = ServiceSidText(kLogServiceName);
    const ScopedDescriptor folder(DescriptorFromSddl(LogObjectSddl(LogObject::Folder, sid).c_str()));
    const ScopedDescriptor lastFolder(DescriptorFromSddl(LogObjectSddl(LogObject::ServiceFolder, sid).c_str()));
    const ScopedDescriptor file(DescriptorFromSddl(LogObjectSddl(LogObject::File, sid).c_str()));
    if (sid.empty() || !folder || !lastFolder || !file) {
        ReportLastError("ConvertStringSecurityDescriptorToSecurityDescriptor: ");
        return false;
    }
    // The administrator who installs is trusted with the service's own.
    std::vector<std::vector<BYTE>> sids;
    if (!TrustedLogSids(sid, sids)) {
        ReportLastError("GetTokenInformation: ");
        return false;
    }
    std::vector<PSID> trusted;
    for (std::vector<BYTE>& one : sids)
        trusted.push_back(one.data());
    const std::wstring company = base + kLogCompanyFolder;
    const std::wstring logFolder = company + L"\\" + kLogFolderName;
    const std::wstring logFile = logFolder + L"\\" + kLogFileName;
    if (!SecureFolder(company, folder.get(), trusted) || !SecureFolder(logFolder, lastFolder.get(), trusted))
        return false;
    // A log that the service wrote as LocalSystem: it may append to it now.
    if (GetFileAttributesW(logFile.c_str()) != INVALID_FILE_ATTRIBUTES && !TakeOverLogObject(logFile, file.get(), nullptr)) {
        ReportUnsecured(logFile);
        return false;
    }
    return true;
}
