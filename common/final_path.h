// The path that an open file or folder really has, after every link on the
// way: what a check of where a file lies must compare.
#pragma once

#include <windows.h>

#include <string>

// False when the system cannot tell (the handle's file system, say).
inline bool FinalPathOfHandle(HANDLE handle, std::wstring& finalPath)
{
    finalPath.assign(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, &finalPath[0], static_cast<DWORD>(finalPath.size()),
                                                       FILE_NAME_NORMALIZED);
        if (length == 0)
            return false;
        if (length < finalPath.size()) {
            finalPath.resize(length);
            return true;
        }
        finalPath.assign(length, L'\0');  // the length needed, with the terminator
    }
}
