// Opening the files the stand-in web server sends, with the document root
// checked against every link on the way.
#include "files.h"

#include "final_path.h"
#include "scoped_handle.h"

bool FinalPathOf(const std::string& path, std::wstring& finalPath)
{
    // Backup semantics open folders as well as files.
    ScopedHandle handle(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle && FinalPathOfHandle(handle.get(), finalPath);
}

int OpenServedFile(const std::wstring& finalRoot, const std::string& path, HANDLE& file)
{
    ScopedHandle opened(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!opened)
        return GetLastError() == ERROR_ACCESS_DENIED ? 403 : 404;
    std::wstring finalPath;
    if (!FinalPathOfHandle(opened.get(), finalPath))
        return 404;

    // A drive's root ends in a separator already ("\\?\C:\").
    size_t rootLength = finalRoot.size();
    if (rootLength > 0 && finalRoot.back() == L'\\')
        --rootLength;
    const bool inside = rootLength > 0 && finalPath.size() > rootLength + 1 && finalPath[rootLength] == L'\\' &&
                        CompareStringOrdinal(finalPath.data(), static_cast<int>(rootLength), finalRoot.data(),
                                             static_cast<int>(rootLength), TRUE) == CSTR_EQUAL;
    if (!inside)
        return 404;
    file = opened.release();
    return 200;
}
