// The monitor loop run in-process with short slices: registry faults, the
// launch, no second start, restart, a changed path, what a stop ends, and
// the health check.
#include <winsock2.h>  // before windows.h

#include "monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "monitor_run.h"
#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

using wdtest::LogWatch;
using wdtest::MonitorRun;

constexpr char kNoTarget[] = "No target path in registry yet; will retry";
constexpr char kLoaded[] = "Registry path loaded: ";
constexpr char kStarted[] = "Monitor thread started";
constexpr char kExiting[] = "Monitor thread exiting";
constexpr char kTerminated[] = "TerminateProcess issued";
constexpr DWORD kShortSliceMs = 50;
constexpr unsigned kShortSlices = 4;  // a cycle of about 200 ms
constexpr DWORD kSoonMs = 10000;
constexpr DWORD kRelaunch = 1;

bool SetRelaunchOnExit(DWORD type, const void* data, DWORD size)
{
    return type == REG_NONE || wdtest::SetRecordValue(type, data, size, L"RelaunchOnExit");
}

bool SetHealthCheck(const std::wstring& url, DWORD intervalSeconds, DWORD failures)
{
    return wdtest::SetRecordValue(REG_SZ, url.c_str(), static_cast<DWORD>(url.size() * 2 + 2), L"HealthCheckUrl") &&
           wdtest::SetRecordValue(REG_DWORD, &intervalSeconds, 4, L"HealthCheckIntervalSeconds") &&
           wdtest::SetRecordValue(REG_DWORD, &failures, 4, L"HealthCheckFailures");
}

// Milliseconds into the day of a log line's time stamp.
long LineTimeMs(const std::string& line)
{
    int h = 0, m = 0, s = 0, ms = 0;
    std::sscanf(line.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms);
    return ((h * 60L + m) * 60 + s) * 1000 + ms;
}

// `path` made exactly `length` characters long with "x\..\" and ".\"
// elements in front of the file name, so that it still names the same file.
std::wstring PaddedPath(const std::wstring& path, size_t length)
{
    const size_t name = path.rfind(L'\\') + 1;
    size_t missing = length - path.size();
    std::wstring padding;
    if (missing % 2 != 0) {
        padding = L"x\\..\\";
        missing -= 5;
    }
    for (; missing > 0; missing -= 2)
        padding += L".\\";
    return path.substr(0, name) + padding + path.substr(name);
}

// The monitor's own lines between its first and last: the control handler's
// line, written on the stopping thread, is left out.
std::vector<std::string> CycleLines(const std::vector<std::string>& messages)
{
    std::vector<std::string> lines;
    bool inside = false;
    for (const std::string& m : messages) {
        if (m == kStarted) {
            inside = true;
        } else if (m == kExiting) {
            break;
        } else if (inside && m.compare(0, 13, "CtrlHandler: ") != 0) {
            lines.push_back(m);
        }
    }
    return lines;
}

// Stands in for a launcher the health check may not end, as Windows may
// refuse: a handle without the right to terminate.
HANDLE WINAPI OpenWithoutTerminate(DWORD, BOOL inherit, DWORD id) { return OpenProcess(SYNCHRONIZE, inherit, id); }

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { wdtest::DeleteRecord(); }
    void TearDown() override
    {
        run_.reset();
        for (const std::string& exe : sleepers_)
            wdtest::KillAllFrom(exe);
        wdtest::DeleteRecord();
    }

    std::string Sleeper(const std::string& subfolder)
    {
        const std::string exe = wdtest::PlaceSleeper(folder_.path() + "\\" + subfolder);
        sleepers_.push_back(exe);
        return exe;
    }
    static bool Record(const std::string& exe) { return wdtest::SetServerExePath(zvtest::Widen(exe)); }
    std::string Launched(const std::string& exe) const { return "Launched '" + exe + "' (PID="; }
    // The real launcher, serving its own folder on `port`.
    std::string Launcher(int port)
    {
        const std::string bin = zvtest::HostPath(ZV_LAUNCHER_EXE);
        const std::string exe = folder_.File("zorvaneis.exe");
        sleepers_.push_back(exe);
        const bool placed = zvtest::CopyFileTo(bin, exe) &&
                            zvtest::CopyFileTo(bin.substr(0, bin.rfind('\\')) + "\\halvix.dll", folder_.File("halvix.dll")) &&
                            zvtest::WriteFileBytes(folder_.File("zorvaneis.cfg"), "PORT=" + std::to_string(port)) &&
                            zvtest::WriteFileBytes(folder_.File("index.html"), "up");
        return placed ? exe : "";
    }

    // The PID of the `n`th launch of `exe` (from 1) in the log since `watch`.
    DWORD WaitForLaunch(const LogWatch& watch, const std::string& exe, size_t n = 1) const
    {
        if (!watch.WaitFor(Launched(exe), kSoonMs, n, true))
            return 0;
        size_t seen = 0;
        for (const std::string& m : watch.Messages()) {
            if (m.compare(0, Launched(exe).size(), Launched(exe)) == 0 && ++seen == n)
                return wdtest::LaunchedPid(m);
        }
        return 0;
    }

    // Records `exe`, starts the monitor and waits for its first launch:
    // the launched PID, or 0 when none came.
    DWORD MonitorUntilLaunched(const std::string& exe, DWORD sliceMs = kShortSliceMs, unsigned slices = kShortSlices)
    {
        if (!Record(exe))
            return 0;
        run_ = std::make_unique<MonitorRun>(sliceMs, slices);
        return WaitForLaunch(watch_, exe);
    }

    zvtest::TempFolder folder_{"zvmonitor"};
    std::vector<std::string> sleepers_;
    LogWatch watch_;
    std::unique_ptr<MonitorRun> run_;
};

TEST_F(MonitorTest, UnusableRecordIsLoggedEveryCycleAndStartsNothing)
{
    const std::string exe = Sleeper("a");
    const std::wstring path = zvtest::Widen(exe);
    const std::wstring over1039 = PaddedPath(path, 1040);
    const std::wstring farOver = PaddedPath(path, 3000);
    const std::wstring multi = path + L'\0';
    const DWORD number = 42;
    const std::string wrongType = "RegGetValueW 'ServerExePath' failed rc=1630 type=";
    const std::string tooLong = "RegGetValueW 'ServerExePath' failed rc=234 type=1";
    // Relative forms that would name the sleeper from the working folder set below.
    const std::wstring relative = L"a\\sleeper.exe";
    const std::wstring rootRelative = path.substr(2);
    const std::wstring forged = relative + L"\r\n2026-01-01 00:00:00.000  Launched";
    const std::string notFull = "Target path is not a full path: ";
    const std::string masked = "a\\sleeper.exe??2026-01-01 00:00:00.000  Launched";

    struct Case {
        const char* name;
        bool key;
        DWORD type;
        const void* data;
        size_t units;
        std::vector<std::string> cycle;
    };
    const Case cases[] = {
        {"key missing", false, REG_NONE, nullptr, 0, {"RegOpenKeyExW failed rc=2", kNoTarget}},
        {"value missing", true, REG_NONE, nullptr, 0, {"RegGetValueW 'ServerExePath' failed rc=2 type=0", kNoTarget}},
        {"REG_DWORD", true, REG_DWORD, &number, 2, {wrongType + "4", kNoTarget}},
        {"REG_MULTI_SZ", true, REG_MULTI_SZ, multi.c_str(), multi.size() + 1, {wrongType + "7", kNoTarget}},
        {"REG_BINARY", true, REG_BINARY, path.c_str(), path.size() + 1, {wrongType + "3", kNoTarget}},
        {"1040 characters", true, REG_SZ, over1039.c_str(), over1039.size() + 1, {tooLong, kNoTarget}},
        {"3000 characters", true, REG_SZ, farOver.c_str(), farOver.size() + 1, {tooLong, kNoTarget}},
        {"empty", true, REG_SZ, L"", 1, {kLoaded, kNoTarget}},
        {"relative", true, REG_SZ, relative.c_str(), relative.size() + 1,
         {kLoaded + wdtest::Utf8(relative), notFull + wdtest::Utf8(relative)}},
        {"root-relative", true, REG_SZ, rootRelative.c_str(), rootRelative.size() + 1,
         {kLoaded + wdtest::Utf8(rootRelative), notFull + wdtest::Utf8(rootRelative)}},
        {"CR LF inside", true, REG_SZ, forged.c_str(), forged.size() + 1,
         {kLoaded + masked, notFull + masked}},
    };
    char workingFolder[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, workingFolder);
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.path().c_str()));
    for (const Case& c : cases) {
        wdtest::DeleteRecord();
        if (c.key) {
            ASSERT_TRUE(c.type == REG_NONE ? wdtest::CreateRecordKey()
                                           : wdtest::SetRecordValue(c.type, c.data, static_cast<DWORD>(c.units * 2)))
                << c.name;
        }
        LogWatch watch;
        {
            MonitorRun run(20, 3);
            ASSERT_TRUE(watch.WaitFor(c.cycle.back(), kSoonMs, 3)) << c.name;
            ASSERT_TRUE(run.Stop()) << c.name;
        }
        const std::vector<std::string> lines = CycleLines(watch.Messages());
        ASSERT_GE(lines.size(), 3 * c.cycle.size()) << c.name;
        EXPECT_EQ(0u, lines.size() % c.cycle.size()) << c.name;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(c.cycle[i % c.cycle.size()], lines[i]) << c.name << ", line " << i;
        EXPECT_EQ(0u, wdtest::SleeperStarts(exe).size()) << c.name;
    }
    SetCurrentDirectoryA(workingFolder);
}

TEST_F(MonitorTest, ValueOf1039CharactersIsAcceptedAndNormalised)
{
    const std::string exe = Sleeper("a");
    zvtest::BackgroundProgram running;
    ASSERT_TRUE(running.Start("\"" + exe + "\""));
    // Its note of the start, written once it runs, is what is counted below.
    ASSERT_TRUE(wdtest::WaitUntil([&] { return wdtest::SleeperStarts(exe).size() == 1; }, kSoonMs));
    const std::wstring longest = PaddedPath(zvtest::Widen(exe), 1039);
    ASSERT_TRUE(wdtest::SetServerExePath(longest));
    LogWatch watch;
    {
        MonitorRun run(20, 3);
        ASSERT_TRUE(watch.WaitFor(kLoaded + wdtest::Utf8(longest), kSoonMs, 3));
        ASSERT_TRUE(run.Stop());
    }
    for (const std::string& line : CycleLines(watch.Messages()))
        EXPECT_EQ(kLoaded + wdtest::Utf8(longest), line);
    EXPECT_EQ(1u, wdtest::SleeperStarts(exe).size());
}

TEST_F(MonitorTest, FailedLaunchIsLoggedAndRetriedEveryCycle)
{
    // A quote in the value must not split it into a program and arguments:
    // only the whole value names the program, and no such file exists.
    const std::string exe = Sleeper("a");
    const struct {
        std::string target;
        const char* error;
    } cases[] = {
        {folder_.File("zorvaneis.exe"), "2"},
        {exe + "\" --extra", "123"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Record(c.target));
        LogWatch watch;
        const std::string failed = "CreateProcess failed for '" + c.target + "' err=";
        {
            MonitorRun run(20, 3);
            ASSERT_TRUE(watch.WaitFor(failed, kSoonMs, 3, true)) << c.target;
            ASSERT_TRUE(run.Stop());
        }
        const std::vector<std::string> lines = CycleLines(watch.Messages());
        ASSERT_GE(lines.size(), 9u);
        ASSERT_EQ(0u, lines.size() % 3);
        for (size_t i = 0; i < lines.size(); i += 3) {
            EXPECT_EQ(kLoaded + c.target, lines[i]);
            EXPECT_EQ("Target not running; starting: " + c.target, lines[i + 1]);
            EXPECT_EQ(failed + c.error, lines[i + 2]);
        }
    }
    EXPECT_EQ(0u, wdtest::SleeperStarts(exe).size());
}

TEST_F(MonitorTest, StartsTargetInItsOwnFolderWithoutArguments)
{
    const std::string exe = Sleeper("a");
    const DWORD pid = MonitorUntilLaunched(exe);
    ASSERT_NE(0u, pid);
    ASSERT_TRUE(wdtest::WaitUntil([&] { return wdtest::SleeperStarts(exe).size() == 1; }, kSoonMs));
    EXPECT_EQ(folder_.path() + "\\a|\"" + exe + "\"", wdtest::SleeperStarts(exe)[0]);
    EXPECT_EQ(std::vector<DWORD>{pid}, zvtest::FindProcessesByImage(exe));

    ASSERT_TRUE(run_->Stop());
    const std::vector<std::string> lines = CycleLines(watch_.Messages());
    ASSERT_LE(3u, lines.size());
    EXPECT_EQ(kLoaded + exe, lines[0]);
    EXPECT_EQ("Target not running; starting: " + exe, lines[1]);
    EXPECT_EQ(Launched(exe) + std::to_string(pid) + ")", lines[2]);
    EXPECT_EQ(kTerminated, watch_.Messages().back());
    EXPECT_TRUE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(pid); }, kSoonMs));
}

TEST_F(MonitorTest, RunningTargetIsNotStartedAgain)
{
    struct Case {
        const char* name;
        bool startedByTest;
    };
    const Case cases[] = {{"started by the monitor", false}, {"started by someone else", true}};
    for (const Case& c : cases) {
        const std::string exe = Sleeper(c.startedByTest ? "other" : "own");
        ASSERT_TRUE(Record(exe));
        zvtest::BackgroundProgram other;
        if (c.startedByTest) {
            ASSERT_TRUE(other.Start("\"" + exe + "\""));
        }
        LogWatch watch;
        {
            MonitorRun run(kShortSliceMs, kShortSlices);
            ASSERT_TRUE(watch.WaitFor(kLoaded + exe, kSoonMs, 5)) << c.name;
            ASSERT_TRUE(run.Stop()) << c.name;
        }
        EXPECT_EQ(1u, wdtest::SleeperStarts(exe).size()) << c.name;
        EXPECT_EQ(c.startedByTest ? 0u : 1u, watch.Count("Target not running; starting: " + exe)) << c.name;
        // Only a launcher of its own is terminated at the stop.
        EXPECT_EQ(c.startedByTest ? 0u : 1u, watch.Count(kTerminated)) << c.name;
        if (c.startedByTest) {
            EXPECT_TRUE(other.IsRunning()) << c.name;
        }
    }
}

TEST_F(MonitorTest, KilledTargetIsStartedAgainInTheNextCycle)
{
    const std::string exe = Sleeper("a");
    const DWORD first = MonitorUntilLaunched(exe);
    ASSERT_NE(0u, first);
    ASSERT_TRUE(wdtest::WaitUntil([&] { return wdtest::SleeperStarts(exe).size() == 1; }, kSoonMs));
    zvtest::KillProcess(first);
    const DWORD second = WaitForLaunch(watch_, exe, 2);
    ASSERT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_TRUE(wdtest::WaitUntil([&] { return wdtest::SleeperStarts(exe).size() == 2; }, kSoonMs));
    EXPECT_TRUE(wdtest::IsAlive(second));
    ASSERT_TRUE(watch_.WaitFor(kLoaded + exe, kSoonMs, 4));
    ASSERT_TRUE(run_->Stop());
    EXPECT_EQ(2u, watch_.Count(Launched(exe), true));
    EXPECT_EQ(1u, watch_.Count("Launcher ended (PID=" + std::to_string(first) + ", exit code 9)"));
    EXPECT_TRUE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(second); }, kSoonMs));
}

TEST_F(MonitorTest, ChangedPathLeavesOldTargetRunningAndUntracked)
{
    const std::string oldExe = Sleeper("old");
    const std::string newExe = Sleeper("new");
    const DWORD oldPid = MonitorUntilLaunched(oldExe);
    ASSERT_NE(0u, oldPid);
    ASSERT_TRUE(Record(newExe));
    const DWORD newPid = WaitForLaunch(watch_, newExe);
    ASSERT_NE(0u, newPid);
    ASSERT_TRUE(watch_.WaitFor(kLoaded + newExe, kSoonMs, 3));
    ASSERT_TRUE(run_->Stop());

    EXPECT_EQ(1u, watch_.Count(kTerminated));
    EXPECT_TRUE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(newPid); }, kSoonMs));
    EXPECT_TRUE(wdtest::IsAlive(oldPid));
    EXPECT_EQ(1u, wdtest::SleeperStarts(oldExe).size());
    EXPECT_EQ(1u, wdtest::SleeperStarts(newExe).size());
}

TEST_F(MonitorTest, StopTerminatesOnlyItsOwnEndedLauncher)
{
    const std::string exe = Sleeper("a");
    // Cycles of 2 s leave time to replace the launcher between two cycles.
    const DWORD own = MonitorUntilLaunched(exe, kShortSliceMs, 40);
    ASSERT_NE(0u, own);
    zvtest::KillProcess(own);
    zvtest::BackgroundProgram other;
    ASSERT_TRUE(other.Start("\"" + exe + "\""));
    ASSERT_TRUE(watch_.WaitFor(kLoaded + exe, kSoonMs, 2));
    ASSERT_TRUE(run_->Stop());

    EXPECT_EQ(1u, watch_.Count(Launched(exe), true));
    EXPECT_EQ(kTerminated, watch_.Messages().back());
    EXPECT_TRUE(other.IsRunning());
}

TEST_F(MonitorTest, StopEndsMonitorThreadWithinOneSlice)
{
    // Probes every 5 s of a server that accepts and never answers: the stop
    // comes while the first probe waits.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET quiet = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {AF_INET, htons(18210), {}, {}};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(quiet, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(quiet, 4));
    for (const int relaunch : {0, 1, 2}) {
        const std::string exe = Sleeper("case" + std::to_string(relaunch));
        wdtest::DeleteRecord();
        ASSERT_TRUE(SetRelaunchOnExit(relaunch == 1 ? REG_DWORD : REG_NONE, &kRelaunch, sizeof kRelaunch));
        ASSERT_TRUE(relaunch < 2 || SetHealthCheck(L"http://127.0.0.1:18210/", 5, 1));
        LogWatch watch;
        const DWORD pid = MonitorUntilLaunched(exe, 0, 0);  // MonitorThread: 60 slices of 1000 ms
        ASSERT_NE(0u, pid) << relaunch;
        Sleep(relaunch < 2 ? 1500 : 6500);  // well into the wait
        EXPECT_FALSE(run_->Ended(0)) << relaunch;
        const DWORD before = GetTickCount();
        ASSERT_TRUE(run_->Stop(kWaitSliceMs)) << relaunch;
        EXPECT_LT(GetTickCount() - before, kWaitSliceMs) << relaunch;
        const std::vector<std::string> messages = watch.Messages();
        ASSERT_LE(3u, messages.size()) << relaunch;
        EXPECT_EQ(kExiting, messages[messages.size() - 2]) << relaunch;
        EXPECT_EQ(kTerminated, messages.back()) << relaunch;
        EXPECT_TRUE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(pid); }, kSoonMs)) << relaunch;
        EXPECT_FALSE(KeepRunning.load()) << relaunch;
        run_.reset();
    }
    fd_set pending = {1, {quiet}};
    timeval now = {0, 0};
    EXPECT_EQ(1, select(0, &pending, nullptr, nullptr, &now));
    closesocket(quiet);
}

// Probes every second of servers that answer as scripted. A launcher is
// ended only for failures in a row of its own after a pass: not for a
// server that answers 200 and 503 in turn, nor for a probe that was in
// flight when the launcher before it ended; one that cannot be ended is
// tried again at the next failure.
TEST_F(MonitorTest, HealthCheckEndsOnlyALauncherThatFailedItsOwnProbes)
{
    using Replies = std::string (*)(size_t);
    const Replies passThenHold = [](size_t n) { return std::string(n == 0 ? "200 OK\r\n" : ""); };
    const Replies passThenBusy = [](size_t n) { return std::string(n == 0 ? "200 OK\r\n" : "503 Busy\r\n"); };
    const Replies inTurn = [](size_t n) { return std::string(n % 2 == 0 ? "200 OK\r\n" : "503 Busy\r\n"); };
    const std::string notPassed = "Health check has not passed yet: no answer within 1 s";
    const std::string cannotEnd = "Health check could not end PID=";
    const struct {
        const char* name;
        Replies replies;
        DWORD failures;
        bool relaunch;  // RelaunchOnExit, and the launcher killed while a probe is held
        HANDLE(WINAPI* open)(DWORD, BOOL, DWORD);
        std::string awaited;  // seen `count` times, the case is over
        size_t count;
        size_t launches;
    } cases[] = {
        {"no answer after a pass", passThenHold, 2, false, OpenProcess, notPassed, 1, 2},
        {"200 and 503 in turn", inTurn, 2, false, OpenProcess, "Health check passed again", 2, 1},
        {"probe in flight across a relaunch", passThenHold, 1, true, OpenProcess, notPassed, 1, 2},
        {"cannot be terminated", passThenBusy, 1, false, OpenWithoutTerminate, cannotEnd, 2, 1},
    };
    int port = 18213;
    for (const auto& c : cases) {
        const std::string exe = Sleeper(std::string("health ") + c.name);
        wdtest::DeleteRecord();
        wdtest::ScriptedServer server(port, c.replies);
        ASSERT_TRUE(server.Listening()) << c.name;
        ASSERT_TRUE(SetRelaunchOnExit(c.relaunch ? REG_DWORD : REG_NONE, &kRelaunch, sizeof kRelaunch));
        ASSERT_TRUE(SetHealthCheck(L"http://127.0.0.1:" + std::to_wstring(port++) + L"/", 1, c.failures));
        g_openLauncherToEnd = c.open;
        LogWatch watch;
        const DWORD first = MonitorUntilLaunched(exe, kShortSliceMs, 200);
        ASSERT_NE(0u, first) << c.name;
        if (c.relaunch) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Held(), kSoonMs)) << c.name;
            zvtest::KillProcess(first);
        }
        EXPECT_TRUE(watch.WaitFor(c.awaited, 3 * kSoonMs, c.count, true)) << c.name;
        EXPECT_TRUE(wdtest::IsAlive(WaitForLaunch(watch, exe, c.launches))) << c.name;
        ASSERT_TRUE(run_->Stop()) << c.name;
        run_.reset();
        g_openLauncherToEnd = OpenProcess;
        EXPECT_EQ(c.launches, watch.Count(Launched(exe), true)) << c.name;
        if (c.awaited == cannotEnd) {
            EXPECT_LE(c.count, watch.Count(cannotEnd + std::to_string(first) + " err=5")) << c.name;
        }
    }
}

TEST_F(MonitorTest, UnusableHealthCheckUrlIsLoggedEveryCycleAndProbesNothing)
{
    const std::string exe = Sleeper("a");
    ASSERT_TRUE(SetHealthCheck(L"ftp://127.0.0.1:18212/", 1, 1));
    ASSERT_NE(0u, MonitorUntilLaunched(exe, kShortSliceMs, 20));
    ASSERT_TRUE(watch_.WaitFor(kLoaded + exe, kSoonMs, 4));
    ASSERT_TRUE(run_->Stop());
    const std::vector<std::string> lines = CycleLines(watch_.Messages());
    for (size_t i = 3; i < lines.size(); ++i)
        EXPECT_EQ(i % 2 == 0 ? kLoaded + exe : "Health check URL is not usable: ftp://127.0.0.1:18212/", lines[i]);
}

// Cycles of 10 s: a launcher killed after the first 10 slices of its life is
// started again within the next two seconds only when RelaunchOnExit is 1.
TEST_F(MonitorTest, KilledLauncherIsStartedAtOnceOnlyWithRelaunchOnExit)
{
    const DWORD two = 2;
    struct Case {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
        bool early;
    };
    const Case cases[] = {
        {"1", REG_DWORD, &kRelaunch, sizeof kRelaunch, true},
        {"absent", REG_NONE, nullptr, 0, false},
        {"2", REG_DWORD, &two, sizeof two, false},
        {"REG_SZ 1", REG_SZ, L"1", 4, false},
    };
    for (const Case& c : cases) {
        const std::string exe = Sleeper(std::string("kill ") + c.name);
        wdtest::DeleteRecord();
        ASSERT_TRUE(Record(exe) && SetRelaunchOnExit(c.type, c.data, c.size)) << c.name;
        LogWatch watch;
        MonitorRun run(kShortSliceMs, 200);
        const DWORD first = WaitForLaunch(watch, exe);
        ASSERT_NE(0u, first) << c.name;
        Sleep(kShortSliceMs * kSlicesBeforeEarlyCycle);
        zvtest::KillProcess(first);
        EXPECT_EQ(c.early, watch.WaitFor(Launched(exe), 2000, 2, true)) << c.name;
        ASSERT_TRUE(run.Stop()) << c.name;
        const std::vector<std::string> lines = CycleLines(watch.Messages());
        const std::vector<std::string> firstCycle = {kLoaded + exe, "Target not running; starting: " + exe};
        const std::vector<std::string> early = {
            "Launcher ended (PID=" + std::to_string(first) + ", exit code 9); checking now", kLoaded + exe,
            "Target not running; starting: " + exe};
        ASSERT_EQ(c.early ? 7u : 3u, lines.size()) << c.name;
        EXPECT_EQ(firstCycle, std::vector<std::string>(lines.begin(), lines.begin() + 2)) << c.name;
        if (c.early) {
            EXPECT_EQ(early, std::vector<std::string>(lines.begin() + 3, lines.begin() + 6)) << c.name;
        }
    }
}

// The real timing of MonitorThread: the second start comes 10 s after the
// first, long before the minute is over.
TEST_F(MonitorTest, LauncherThatEndsAtOnceIsStartedAtMostEvery10Seconds)
{
    const std::string exe = wdtest::PlaceSleeper(folder_.path() + "\\quits", "quitter.exe");
    ASSERT_TRUE(SetRelaunchOnExit(REG_DWORD, &kRelaunch, sizeof kRelaunch));
    const DWORD first = MonitorUntilLaunched(exe, 0, 0);
    ASSERT_NE(0u, first);
    ASSERT_TRUE(watch_.WaitFor(Launched(exe), 20000, 2, true));
    EXPECT_TRUE(wdtest::WaitUntil([&] { return wdtest::SleeperStarts(exe).size() == 2; }, kSoonMs));
    ASSERT_TRUE(run_->Stop());
    std::vector<long> launches;
    for (const std::string& line : watch_.Lines()) {
        if (line.compare(wdtest::kLinePrefixLength, Launched(exe).size(), Launched(exe)) == 0)
            launches.push_back(LineTimeMs(line));
    }
    ASSERT_EQ(2u, launches.size());
    // The log's clock and the tick count may differ by a tick.
    EXPECT_LE(10000 - 20, launches[1] - launches[0]);
    EXPECT_GT(15000, launches[1] - launches[0]);
    // Its last words, without a line end, come before the line of its end.
    const std::vector<std::string> m = watch_.Messages();
    const std::string pid = std::to_string(first);
    const auto ended = std::find(m.begin(), m.end(), "Launcher ended (PID=" + pid + ", exit code 3); checking now");
    ASSERT_NE(m.end(), ended);
    EXPECT_EQ("Launcher output (PID=" + pid + "): quitting", *(ended - 1));
}

// The real launcher's failures in its own words, converted from the ANSI
// code page, and its exit code; a launcher that the loader refuses has none.
TEST_F(MonitorTest, RealLauncherFailuresAreLoggedWithItsWordsAndExitCode)
{
    const std::wstring bin = zvtest::Widen(zvtest::HostPath(ZV_LAUNCHER_EXE));
    const std::wstring library = bin.substr(0, bin.rfind(L'\\')) + L"\\halvix.dll";
    const auto place = [&](const std::wstring& folder, bool withLibrary, const std::string& config) {
        return CreateDirectoryW(folder.c_str(), nullptr) &&
               CopyFileW(bin.c_str(), (folder + L"\\zorvaneis.exe").c_str(), 0) &&
               (!withLibrary || CopyFileW(library.c_str(), (folder + L"\\halvix.dll").c_str(), 0)) &&
               (config.empty() || zvtest::WriteFileBytes(zvtest::Narrow(folder) + "\\zorvaneis.cfg", config));
    };
    const std::string taken = folder_.File("taken");
    // U+03BB has no ANSI form: the launcher sees it as "?", so the folder it
    // gives halvix.dll does not exist, and it fails before binding port 1465.
    const std::string seen = folder_.File("zv\xe2\x82\xac?");
    const struct { std::wstring folder; bool library; std::vector<std::string> output; DWORD exitCode; } cases[] = {
        {zvtest::Widen(taken), true, {"Failed to start server (docroot=" + taken + ", port=18250)."}, 3},
        {zvtest::Widen(folder_.File("no library")), false, {}, 3221225781u},
        {zvtest::Widen(folder_.path()) + L"\\zv\u20ac\u03bb", true,
         {"Config not found: " + seen + "\\zorvaneis.cfg", "Failed to start server (docroot=" + seen + ", port=1465)."},
         3},
    };
    zvtest::BackgroundProgram holder;
    ASSERT_TRUE(place(zvtest::Widen(folder_.File("holder")), true, "PORT=18250\n"));
    ASSERT_TRUE(holder.Start("\"" + folder_.File("holder") + "\\zorvaneis.exe\""));
    ASSERT_TRUE(zvtest::WaitForHttp(18250, kSoonMs)) << holder.Err();
    for (const auto& c : cases) {
        const std::wstring exe = c.folder + L"\\zorvaneis.exe";
        ASSERT_TRUE(place(c.folder, c.library, c.output.size() == 1 ? "PORT=18250\n" : ""));
        ASSERT_TRUE(wdtest::SetServerExePath(exe));
        LogWatch watch;
        {
            MonitorRun run(kShortSliceMs, kShortSlices);
            ASSERT_TRUE(watch.WaitFor("Launcher ended (PID=", kSoonMs, 1, true));
            ASSERT_TRUE(run.Stop());
        }
        const std::string pid = std::to_string(WaitForLaunch(watch, wdtest::Utf8(exe)));
        for (const std::string& text : c.output)
            EXPECT_EQ(1u, watch.Count("Launcher output (PID=" + pid + "): " + text));
        EXPECT_EQ(1u, watch.Count("Launcher ended (PID=" + pid + ", exit code " + std::to_string(c.exitCode) + ")"));
        // The narrow clean-up of the temporary folder cannot name U+03BB.
        for (const wchar_t* name : {L"\\zorvaneis.exe", L"\\halvix.dll"})
            DeleteFileW((c.folder + name).c_str());
        RemoveDirectoryW(c.folder.c_str());
    }
}

// 20000 lines at full speed, ended by LF and CR LF in turn, 2.6 MB, more
// than the pipe holds: the launcher is not held up, its first 100 lines reach
// the log, and the rest are counted at the end of each minute (60 slices),
// also when it has fallen silent by then.
TEST_F(MonitorTest, ChattyLauncherIsNotHeldUpAndItsLinesBeyond100AreCounted)
{
    const std::string exe = wdtest::PlaceSleeper(folder_.path() + "\\chat", "chatter.exe");
    sleepers_.push_back(exe);
    const std::string said = "Launcher output (PID=" + std::to_string(MonitorUntilLaunched(exe)) + "): ";
    std::string none;
    EXPECT_TRUE(wdtest::WaitUntil([&] { return zvtest::ReadFileBytes(exe + ".wrote", none); }, 3 * kSoonMs));
    const auto dropped = [&] {
        unsigned long sum = 0;
        for (const std::string& m : watch_.Messages())
            sum += m.find(" more lines not logged") != m.npos ? std::strtoul(&m[said.size()], nullptr, 10) : 0;
        return sum;
    };
    EXPECT_TRUE(wdtest::WaitUntil([&] { return dropped() >= 19900; }, 2 * kSlicesPerMinute * kShortSliceMs + kSoonMs));
    ASSERT_TRUE(run_->Stop());
    EXPECT_EQ(19900u, dropped());
    EXPECT_EQ(100u, watch_.Count(said + "line ", true));
    EXPECT_EQ(1u, watch_.Count(said + "line 100 ", true));
}

// A launcher that writes 150 lines and ends, started again at once: with
// slices of 50 ms a minute lasts 3 s and an hour 180 s, so over 8 starts
// 100 of the 1200 lines reach the log, and the others are counted, at most
// once a minute (and once more at the stop).
TEST_F(MonitorTest, OutputBudgetHoldsAcrossRelaunches)
{
    const std::string exe = wdtest::PlaceSleeper(folder_.path() + "\\burst", "burster.exe");
    sleepers_.push_back(exe);
    ASSERT_TRUE(SetRelaunchOnExit(REG_DWORD, &kRelaunch, sizeof kRelaunch));
    ASSERT_NE(0u, MonitorUntilLaunched(exe, kShortSliceMs, 200));
    const size_t starts = 8;
    ASSERT_NE(0u, WaitForLaunch(watch_, exe, starts));
    // Once the last one has ended, nothing is started again.
    wdtest::DeleteRecord();
    ASSERT_TRUE(watch_.WaitFor(kNoTarget, kSoonMs));
    ASSERT_TRUE(run_->Stop());
    unsigned long dropped = 0;
    std::vector<long> counted;
    for (const std::string& line : watch_.Lines()) {
        if (line.find(" more lines not logged") != line.npos) {
            dropped += std::strtoul(&line[line.find("): ") + 3], nullptr, 10);
            counted.push_back(LineTimeMs(line));
        }
    }
    EXPECT_EQ(100u, watch_.Count("Launcher output (PID=", true) - counted.size());
    EXPECT_EQ(starts * 150 - 100, dropped);
    ASSERT_LE(2u, counted.size());
    for (size_t i = 1; i + 1 < counted.size(); ++i)
        EXPECT_LE(static_cast<long>(kSlicesPerMinute * kShortSliceMs) - 20, counted[i] - counted[i - 1]);
}

TEST_F(MonitorTest, StopBeforeTheThreadRunsEndsItAfterOneCycle)
{
    const std::string exe = Sleeper("a");
    ASSERT_TRUE(Record(exe));
    LogWatch watch;
    KeepRunning = false;
    MonitorRun run(0, 0, true);
    ASSERT_TRUE(run.Ended(kWaitSliceMs + 5000));
    const std::vector<std::string> messages = watch.Messages();
    ASSERT_EQ(6u, messages.size());
    EXPECT_EQ(kStarted, messages[0]);
    EXPECT_EQ(kLoaded + exe, messages[1]);
    EXPECT_EQ(kExiting, messages[4]);
    EXPECT_EQ(kTerminated, messages[5]);
}

}  // namespace
