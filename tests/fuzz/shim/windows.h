// Just enough of <windows.h> for the request parser on the build machine:
// file attributes come from stat, with backslashes read as separators.
#pragma once

#include <sys/stat.h>

#include <string>

typedef unsigned long DWORD;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

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
