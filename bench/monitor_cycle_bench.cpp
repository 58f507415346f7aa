// Times the monitor's running test (snapshot, open and query every process,
// normalise and compare paths) with N other processes running beside it.
// Usage: monitor_cycle_bench N...   Prints one table row per N.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "monitor.h"

namespace {

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::vector<HANDLE> StartIdleProcesses(int count)
{
    const std::wstring exe = ProgramFolder() + L"\\zv_keepalive.exe";
    std::vector<HANDLE> processes;
    for (int i = 0; i < count; ++i) {
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &si, &pi))
            break;
        CloseHandle(pi.hThread);
        processes.push_back(pi.hProcess);
    }
    Sleep(2000);  // let them all come up
    return processes;
}

double MedianRunningTestMs(int repeats)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        IsTargetRunning();
        QueryPerformanceCounter(&end);
        times.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    // A path that no process runs from: every entry is visited.
    TargetPath = L"C:\\Program Files\\ZorvaneIs\\not-running.exe";
    for (int i = 1; i < argc; ++i) {
        const int others = std::atoi(argv[i]);
        std::vector<HANDLE> processes = StartIdleProcesses(others);
        std::printf("| monitor running test, %d other processes | %.1f ms |\n", static_cast<int>(processes.size()),
                    MedianRunningTestMs(9));
        for (HANDLE process : processes) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    return 0;
}
