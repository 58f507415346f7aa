// Test stand-in for a launcher: notes how it was started, then sleeps until
// it is terminated; a copy named quitter.exe ends at once with exit code 3,
// as a launcher that cannot start its server would. Each start appends
// "<working folder>|<command line>" to "<its own path>.starts". A program without a console: under Wine a console
// program started without one gets a conhost.exe that can outlive it and
// hold the test's output streams open.
#include <windows.h>

#include <shlwapi.h>

#include <string>

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
    if (lstrcmpiA(PathFindFileNameA(module), "quitter.exe") == 0)
        return 3;
    Sleep(INFINITE);
    return 0;
}
