// Just enough of <windows.h> for the request parser on the build machine:
// file attributes come from stat, with backslashes read as separators, and
// the last error from errno.
#pragma once

#include <sys/stat.h>

#include <cerrno>

#include <string>

typedef unsigned long DWORD;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD ERROR_ACCESS_DENIED = 5;

inline DWORD GetLastError() { return errno == EACCES ? ERROR_ACCESS_DENIED : 0; }

inline DWORD GetFileAttributesA(const char* path)
{
    std::string hostPath = path;
    for (char& c : hostPath)
        if (c == '\\')
            c = '/';
    struct stat info;
    if (stat(hostPath.c_str(), &info) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

// The ANSI code page read as Latin-1, which agrees with 1252 on the
// superscript digits that the device-name check looks for.
constexpr unsigned int CP_ACP = 0;

inline int MultiByteToWideChar(unsigned int, DWORD, const char* bytes, int count, wchar_t* wide, int size)
{
    if (count > size)
        return 0;
    for (int i = 0; i < count; ++i)
        wide[i] = static_cast<unsigned char>(bytes[i]);
    return count;
}
