// Times WriteLog: N lines (default 10 000) into the service log of the
// prefix it runs in, and prints the mean cost of one line.
// Usage: log_line_bench [N]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "log.h"

namespace {

long Securings = 0;

bool CountedSecuring(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, const FileIdentity* expected)
{
    ++Securings;
    return TakeOverLogObject(path, descriptor, expected);
}

}  // namespace

int main(int argc, char** argv)
{
    g_secureLogObject = CountedSecuring;
    const long lines = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    WriteLog(L"log_line_bench: %ld lines", lines);  // the folders exist before the clock starts
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (long n = 0; n < lines; ++n)
        WriteLog(L"log_line_bench line %ld", n);
    QueryPerformanceCounter(&end);
    const double totalMs =
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("%ld WriteLog calls: %.0f ms, %.1f us per line; %ld objects secured\n", lines, totalMs,
                1000.0 * totalMs / lines, Securings);
    return 0;
}
