// Times the monitor's running test with N other processes running beside it,
// next to the bare snapshot walk over the same processes and the earlier
// running test that opened every process and asked for its image path.
// The three are timed in turns, so that load on the machine hits them alike.
// Usage: monitor_cycle_bench N...   Prints three table rows per N, then how
// the growth from the first N to the last compares with the bare walk's.
#include <windows.h>

#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "monitor.h"
#include "scoped_handle.h"

namespace {

constexpr int kRepeats = 9;

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
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &si, &pi))
            break;
        CloseHandle(pi.hThread);
        processes.push_back(pi.hProcess);
    }
    Sleep(2000 + 10 * count);  // let them all come up
    return processes;
}

// The floor of any running test: the snapshot and its walk alone.
bool BareWalk()
{
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD sum = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        sum += entry.th32ProcessID;
    return sum == 0;
}

// The running test as it was before the file-name prefilter: every process opened.
bool OpenEveryProcess()
{
    const std::wstring fullTarget = NormalisedPath(TargetPath.c_str());
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process)
            continue;
        wchar_t image[kImagePathUnits];
        DWORD size = kImagePathUnits;
        if (QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            StrCmpIW(NormalisedPath(image).c_str(), fullTarget.c_str()) == 0)
            return true;
    }
    return false;
}

double ElapsedMs(bool (*test)())
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    test();
    QueryPerformanceCounter(&end);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Row {
    int others;
    double bare;
    double before;
    double after;
};

Row Measure(int others)
{
    std::vector<double> bare, before, after;
    for (int i = 0; i < kRepeats; ++i) {
        bare.push_back(ElapsedMs(BareWalk));
        before.push_back(ElapsedMs(OpenEveryProcess));
        after.push_back(ElapsedMs(IsTargetRunning));
    }
    return {others, Median(bare), Median(before), Median(after)};
}

}  // namespace

int main(int argc, char** argv)
{
    // A path that no process runs from: every entry is visited.
    TargetPath = L"C:\\Program Files\\ZorvaneIs\\not-running.exe";
    std::vector<Row> rows;
    for (int i = 1; i < argc; ++i) {
        std::vector<HANDLE> processes = StartIdleProcesses(std::atoi(argv[i]));
        const Row row = Measure(static_cast<int>(processes.size()));
        std::printf("| bare walk, %d other processes | %.1f ms |\n", row.others, row.bare);
        std::printf("| before: running test opening every process, %d other processes | %.1f ms |\n", row.others,
                    row.before);
        std::printf("| after: running test with the file-name prefilter, %d other processes | %.1f ms |\n",
                    row.others, row.after);
        std::fflush(stdout);
        rows.push_back(row);
        for (HANDLE process : processes) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    if (rows.size() >= 2) {
        const Row& few = rows.front();
        const Row& many = rows.back();
        const double walk = many.bare - few.bare;
        std::printf("| extra cost of %d more processes: bare walk / before / after | %.1f / %.1f / %.1f ms "
                    "(before %.2fx, after %.2fx the walk's) |\n",
                    many.others - few.others, walk, many.before - few.before, many.after - few.after,
                    (many.before - few.before) / walk, (many.after - few.after) / walk);
    }
    return 0;
}
