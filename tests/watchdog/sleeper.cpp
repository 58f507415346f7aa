// Test stand-in for a launcher: notes how it was started, then sleeps until
// it is terminated; a copy named quitter.exe writes "quitting" without a line
// end and ends at once with exit code 3, as a launcher that cannot start its
// server would; chatter.exe first writes kChatLines lines as fast as it can
// (then notes "<its own path>.wrote"); babbler.exe writes a line every 50 ms
// and notes its first failed write in "<its own path>.failed". Each start
// appends "<working folder>|<command line>" to "<its own path>.starts". A
// program without a console: under Wine a console program started without
// one gets a conhost.exe that can outlive it and hold the test's output
// streams open.
#include <windows.h>

#include <shlwapi.h>

#include <string>

constexpr int kChatLines = 20000;

bool Note(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return true;
}

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
    const std::string self(module, length);
    Note(self + ".starts", line);
    const char* name = PathFindFileNameA(module);
    if (lstrcmpiA(name, "quitter.exe") == 0) {
        Say("quitting");
        return 3;
    }
    if (lstrcmpiA(name, "chatter.exe") == 0) {
        for (int i = 1; i <= kChatLines; ++i)
            Say("line " + std::to_string(i) + (i % 2 != 0 ? "\n" : "\r\n"));
        Note(self + ".wrote", "");
    }
    for (bool failed = false; lstrcmpiA(name, "babbler.exe") == 0; Sleep(50)) {
        if (!Say("babble\n") && !failed)
            failed = Note(self + ".failed", std::to_string(GetLastError()));
    }
    Sleep(INFINITE);
    return 0;
}
