// Stands in for netsh.exe in the setup program's prefix (Wine's netsh is a
// stub that does nothing): appends its arguments to C:\zv-netsh.log and
// refuses every "add" while C:\zv-netsh-refuse exists.
#include <windows.h>

#include <cstring>

int main()
{
    // Setup names the program quoted: "C:\windows\system32\netsh.exe" advfirewall ...
    const char* line = std::strstr(GetCommandLineA(), ".exe\" ") + 6;
    HANDLE log = CreateFileA("C:\\zv-netsh.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    WriteFile(log, "\n", 1, &written, nullptr);
    CloseHandle(log);
    const bool refused = GetFileAttributesA("C:\\zv-netsh-refuse") != INVALID_FILE_ATTRIBUTES;
    return refused && std::strstr(line, " add ") != nullptr ? 1 : 0;
}
