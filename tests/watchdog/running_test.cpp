// The running test: any process whose image path equals TargetPath once both
// are made full paths, letter case ignored, at any length; processes are
// picked by the file name of the full target path before they are opened.
#include "monitor.h"
#include "service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

std::wstring Upper(std::wstring text)
{
    CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring ForwardSlashes(std::wstring text)
{
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

std::wstring WithDotElements(const std::wstring& path)
{
    const size_t name = path.rfind(L'\\');
    return path.substr(0, name) + L"\\.\\sub\\..\\." + path.substr(name);
}

TEST(RunningTest, MatchesNormalisedPathIgnoringCase)
{
    zvtest::TempFolder temp("zvrunning");
    const std::string started = wdtest::PlaceSleeper(temp.File("Mixed Case"));
    zvtest::BackgroundProgram program;  // ended before its folder goes
    ASSERT_TRUE(program.Start("\"" + started + "\""));
    const std::wstring exe = zvtest::Widen(started);
    const std::wstring idle = zvtest::Widen(wdtest::PlaceSleeper(temp.File("idle")));
    const std::wstring folder = exe.substr(0, exe.rfind(L'\\'));
    const std::wstring name = exe.substr(folder.size());
    std::wstring overMaxPath = folder;
    while (overMaxPath.size() < 400)
        overMaxPath += L"\\.";
    struct Case {
        std::wstring target;
        bool running;
    };
    const Case cases[] = {
        {exe, true},
        {Upper(exe), true},
        {Lower(exe), true},
        {WithDotElements(exe), true},
        {ForwardSlashes(exe), true},
        {ForwardSlashes(WithDotElements(Upper(exe))), true},
        // The file name is taken from the full path, not the one recorded.
        {overMaxPath + Upper(name), true},
        {exe + L"\\.", true},
        {exe + L"\\sub\\..", true},
        {idle, false},
        {folder, false},
        {exe.substr(0, exe.size() - 4), false},
        {exe + L"x", false},
    };
    for (const Case& c : cases) {
        TargetPath = c.target;
        EXPECT_EQ(c.running, IsTargetRunning()) << zvtest::Narrow(c.target);
    }
}

// Wine cannot start a program from a path of 260 units or more, so long
// paths are checked at the normalisation that the comparison uses.
TEST(NormalisedPath, KeepsPathsOf260UnitsAndMore)
{
    std::wstring deep = L"C:\\srv";
    while (deep.size() < 400)
        deep += L"\\a-folder-name-of-some-length";
    const std::wstring exe = deep + L"\\zorvaneis.exe";
    struct Case {
        std::wstring path;
        std::wstring full;
    };
    const Case cases[] = {
        {exe, exe},
        {ForwardSlashes(exe), exe},
        {WithDotElements(exe), exe},
        {deep + L"\\..\\x\\.\\zorvaneis.exe", deep.substr(0, deep.rfind(L'\\')) + L"\\x\\zorvaneis.exe"},
        {L"C:\\srv\\" + std::wstring(300, L'x') + L"\\..\\zorvaneis.exe", L"C:\\srv\\zorvaneis.exe"},
        {L"C:/srv/./bin/../zorvaneis.exe", L"C:\\srv\\zorvaneis.exe"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(zvtest::Narrow(c.full), zvtest::Narrow(NormalisedPath(c.path.c_str()))) << c.path.size();
    EXPECT_EQ(L"", NormalisedPath(L""));
}

// Wine gives a child no error mode of its parent and no console either way,
// so what Windows would do is pinned as data: the watchdog's own mode, and
// flags without CREATE_DEFAULT_ERROR_MODE, which would give the child the
// default mode, and with DETACHED_PROCESS, so that it gets no console.
TEST(LaunchFlags, DetachedAndInheritingTheWatchdogsErrorMode)
{
    SetErrorMode(0);
    PrepareWatchdogProcess();
    EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), GetErrorMode());
    EXPECT_EQ(static_cast<DWORD>(DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT),
              LaunchFlags(true));
    EXPECT_EQ(static_cast<DWORD>(DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP), LaunchFlags(false));
}

}  // namespace
