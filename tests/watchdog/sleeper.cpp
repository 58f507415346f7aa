// Test stand-in for a launcher: notes how it was started, then sleeps until
// it is terminated; a copy named quitter.exe ends at once with exit code 3,
// as a launcher that cannot start its server would. Each start appends
// "<working folder>|<command line>" to "<its own path>.starts". A program without a console: under Wine a console
// program started without one gets a conhost.exe that can outlive it and
// hold the test's output streams open. quitter.exe first writes "quitting",
// without a line end; chatter.exe writes 20000 lines of 130 bytes at full
// speed, more than the output pipe holds, then notes ".wrote"; burster.exe
// writes 150 lines and ends with exit code 3; babbler.exe writes a line
// every 50 ms and notes its first failed write in ".failed".
#include <windows.h>

#include <shlwapi.h>

#include <string>

#include "testsupport.h"

bool Say(const std::string& text)
{
    DWORD written = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char module[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    char folder[MAX_PATH * 4];
    const DWORD folderLength = GetCurrentDirectoryA(sizeof folder, folder);
    const std::string line = std::string(folder, folderLength) + "|" + GetCommandLineA() + "\r\n";
    const std::string notes = std::string(module, length) + ".starts";
    HANDLE file = CreateFileA(notes.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
    const char* name = PathFindFileNameA(module);
    if (lstrcmpiA(name, "quitter.exe") == 0) {
        Say("quitting");
        return 3;
    }
    for (int i = 1; lstrcmpiA(name, "chatter.exe") == 0 && i <= 20000; ++i)
        Say("line " + std::to_string(i) + " " + std::string(120, '.') + (i % 2 != 0 ? "\n" : "\r\n"));
    for (int i = 1; lstrcmpiA(name, "burster.exe") == 0 && i <= 150; ++i)
        Say("burst " + std::to_string(i) + "\n");
    if (lstrcmpiA(name, "burster.exe") == 0)
        return 3;
    if (lstrcmpiA(name, "chatter.exe") == 0)
        zvtest::WriteFileBytes(std::string(module, length) + ".wrote", "");
    for (bool failed = false; lstrcmpiA(name, "babbler.exe") == 0; Sleep(50)) {
        const DWORD error = failed || Say("babble\n") ? 0 : GetLastError();
        failed = error != 0 && zvtest::WriteFileBytes(std::string(module, length) + ".failed", std::to_string(error));
    }
    Sleep(INFINITE);
    return 0;
}
