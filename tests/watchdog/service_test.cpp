// The watchdog under Wine's service manager: status reports, log lines of a
// start and a stop, controls, a run by hand, and the real launcher.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scoped_handle.h"
#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

using wdtest::LogWatch;

constexpr wchar_t kServiceName[] = L"ZorvaneISSvc";
constexpr DWORD kSoonMs = 15000;

std::string WatchdogExe() { return zvtest::HostPath(ZV_WATCHDOG_EXE); }

// Index of the first message equal to `message` at or after `from`; npos when none.
size_t Find(const std::vector<std::string>& messages, const std::string& message, size_t from = 0)
{
    for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i] == message)
            return i;
    }
    return std::string::npos;
}

// True when `expected` occur in this order among `messages`.
::testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const std::string& e : expected) {
        const size_t found = Find(messages, e, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << e << "\" missing or out of order";
        at = found + 1;
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> StatusLines(const std::vector<std::string>& messages)
{
    std::vector<std::string> lines;
    for (const std::string& m : messages) {
        if (m.compare(0, 17, "Service status ->") == 0)
            lines.push_back(m);
    }
    return lines;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        RemoveService();
        wdtest::DeleteRecord();
        const std::wstring command = L"\"" + zvtest::Widen(WatchdogExe()) + L"\" --root \"C:\\zv content\"";
        service_.reset(CreateServiceW(manager_.get(), kServiceName, L"Zorvane watchdog under test", SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                      command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service_) << GetLastError();
    }

    void TearDown() override
    {
        service_.reset();
        RemoveService();
        wdtest::DeleteRecord();
    }

    // Stops and deletes the service if it exists.
    void RemoveService()
    {
        ScopedService service(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service)
            return;
        SERVICE_STATUS status;
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            WaitForState(service.get(), SERVICE_STOPPED, kSoonMs);
        DeleteService(service.get());
    }

    static SERVICE_STATUS_PROCESS Query(SC_HANDLE service)
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed);
        return status;
    }
    SERVICE_STATUS_PROCESS Query() const { return Query(service_.get()); }

    // Polls until the service is in `state`; `seen` collects each state met.
    static bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, std::vector<DWORD>* seen = nullptr)
    {
        return wdtest::WaitUntil(
            [&] {
                const DWORD current = Query(service).dwCurrentState;
                if (seen != nullptr && (seen->empty() || seen->back() != current))
                    seen->push_back(current);
                return current == state;
            },
            timeoutMs);
    }
    bool WaitForState(DWORD state, DWORD timeoutMs, std::vector<DWORD>* seen = nullptr) const
    {
        return WaitForState(service_.get(), state, timeoutMs, seen);
    }

    // Starts the service and waits until it runs and has logged so; its
    // process comes back.
    ScopedHandle Start(std::vector<const wchar_t*> args = {})
    {
        LogWatch watch;
        if (!StartServiceW(service_.get(), static_cast<DWORD>(args.size()), args.empty() ? nullptr : args.data())) {
            ADD_FAILURE() << "StartServiceW: " << GetLastError();
            return ScopedHandle();
        }
        if (!WaitForState(SERVICE_RUNNING, kSoonMs)) {
            ADD_FAILURE() << "not running; state " << Query().dwCurrentState;
            return ScopedHandle();
        }
        EXPECT_TRUE(watch.WaitFor("Service status -> 4", kSoonMs));
        return ScopedHandle(OpenProcess(SYNCHRONIZE, FALSE, Query().dwProcessId));
    }

    // Sends the stop and waits for the stopped state and the process's end.
    void Stop(const ScopedHandle& process, SERVICE_STATUS* answer = nullptr)
    {
        SERVICE_STATUS status = {};
        ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        if (answer != nullptr)
            *answer = status;
        ASSERT_TRUE(WaitForState(SERVICE_STOPPED, kSoonMs));
        ASSERT_TRUE(process);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), kSoonMs));
    }

    ScopedService manager_;
    ScopedService service_;
};

TEST_F(ServiceTest, StartAndStopReportEachStateInOrder)
{
    LogWatch watch;
    std::vector<DWORD> seen;
    SERVICE_STATUS_PROCESS startPending = {};
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(wdtest::WaitUntil(
        [&] {
            const SERVICE_STATUS_PROCESS status = Query();
            if (seen.empty() || seen.back() != status.dwCurrentState)
                seen.push_back(status.dwCurrentState);
            if (status.dwCurrentState == SERVICE_START_PENDING && startPending.dwCurrentState == 0)
                startPending = status;
            return status.dwCurrentState == SERVICE_RUNNING;
        },
        kSoonMs));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), seen.back());
    if (startPending.dwCurrentState == SERVICE_START_PENDING) {
        // Accepts no control yet.
        EXPECT_EQ(0u, startPending.dwControlsAccepted);
        EXPECT_EQ(1u, startPending.dwCheckPoint);
        EXPECT_EQ(3000u, startPending.dwWaitHint);
    }
    const SERVICE_STATUS_PROCESS running = Query();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), running.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), running.dwControlsAccepted);
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(0u, running.dwWaitHint);
    EXPECT_EQ(0u, running.dwWin32ExitCode);
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));

    SERVICE_STATUS answer = {};
    Stop(process, &answer);
    // The answer to the stop is the stop-pending report, unless the monitor
    // has ended and the stopped report overtaken it.
    if (answer.dwCurrentState == SERVICE_STOP_PENDING) {
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), answer.dwControlsAccepted);
        EXPECT_EQ(2u, answer.dwCheckPoint);
        EXPECT_EQ(3000u, answer.dwWaitHint);
    } else {
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), answer.dwCurrentState);
    }
    const SERVICE_STATUS_PROCESS stopped = Query();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), stopped.dwControlsAccepted);
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, stopped.dwCheckPoint);
    EXPECT_EQ(0u, stopped.dwWaitHint);

    const std::vector<std::string> messages = watch.Messages();
    EXPECT_EQ((std::vector<std::string>{"Service status -> 2", "Service status -> 4", "Service status -> 3",
                                        "Service status -> 1"}),
              StatusLines(messages));
    const std::string commandLine = "\"" + WatchdogExe() + "\" --root \"C:\\zv content\"";
    ASSERT_EQ(13u, messages.size());
    EXPECT_EQ("Process start. CmdLine: " + commandLine, messages.front());
    EXPECT_TRUE(InOrder(messages, {"CtrlHandler: code=1", "Service status -> 3"}));
    EXPECT_TRUE(InOrder(messages, {"ServiceMain: starting (argc=1)", "  arg[0]=ZorvaneISSvc", "Service status -> 2",
                                   "Service status -> 4", "Service status -> 1", "ServiceMain: stopped"}));
    EXPECT_TRUE(InOrder(messages, {"Monitor thread started", "RegOpenKeyExW failed rc=2",
                                   "No target path in registry yet; will retry", "Monitor thread exiting"}));
    EXPECT_TRUE(InOrder(messages, {"Service status -> 3", "Monitor thread exiting", "Service status -> 1"}));
    EXPECT_EQ("ServiceMain: stopped", messages.back());
}

TEST_F(ServiceTest, EveryStopLeavesTheLastLinesOfServiceMain)
{
    for (int round = 0; round < 5; ++round) {
        LogWatch watch;
        ScopedHandle process = Start();
        Stop(process);
        // The process has ended: whatever it wrote is in the file.
        const std::vector<std::string> messages = watch.Messages();
        ASSERT_LE(2u, messages.size()) << round;
        EXPECT_EQ("Service status -> 1", messages[messages.size() - 2]) << round;
        EXPECT_EQ("ServiceMain: stopped", messages.back()) << round;
    }
}

TEST_F(ServiceTest, StartArgumentsAppearInTheArgLines)
{
    LogWatch watch;
    ScopedHandle process = Start({L"alpha", L"beta gamma", L"\u00e9t\u00e9"});
    Stop(process);
    EXPECT_TRUE(InOrder(watch.Messages(), {"ServiceMain: starting (argc=4)", "  arg[0]=ZorvaneISSvc", "  arg[1]=alpha",
                                           "  arg[2]=beta gamma", "  arg[3]=\xc3\xa9t\xc3\xa9", "Service status -> 2"}));
}

TEST_F(ServiceTest, InterrogateAndOtherControlsAreOnlyLogged)
{
    LogWatch firstCycle;
    ScopedHandle process = Start();
    // The monitor's first cycle may still be writing when the running report
    // is out; its lines must not be taken for an answer to a control.
    ASSERT_TRUE(firstCycle.WaitFor("No target path in registry yet; will retry", kSoonMs));
    for (DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE), 128ul, 200ul}) {
        LogWatch watch;
        SERVICE_STATUS status = {};
        ASSERT_TRUE(ControlService(service_.get(), control, &status)) << control << ": " << GetLastError();
        const std::string line = "CtrlHandler: code=" + std::to_string(control);
        ASSERT_TRUE(watch.WaitFor(line, kSoonMs)) << control;
        Sleep(300);
        EXPECT_EQ(std::vector<std::string>{line}, watch.Messages()) << control;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().dwCurrentState) << control;
    }
    Stop(process);
}

TEST_F(ServiceTest, StartsTheRealLauncherAndTerminatesItAtStop)
{
    const int port = 18300;
    zvtest::TempFolder folder("zvlauncher");
    const std::string exe = folder.File("zorvaneis.exe");
    const std::string bin = zvtest::HostPath(ZV_LAUNCHER_EXE);
    ASSERT_TRUE(zvtest::CopyFileTo(bin, exe));
    ASSERT_TRUE(zvtest::CopyFileTo(bin.substr(0, bin.rfind('\\')) + "\\halvix.dll", folder.File("halvix.dll")));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("zorvaneis.cfg"), "PORT=" + std::to_string(port) + "\r\n"));
    ASSERT_TRUE(wdtest::SetServerExePath(zvtest::Widen(exe)));

    LogWatch watch;
    ScopedHandle process = Start();
    const std::string launched = "Launched '" + exe + "' (PID=";
    ASSERT_TRUE(watch.WaitFor(launched, kSoonMs, 1, true));
    DWORD pid = 0;
    for (const std::string& m : watch.Messages())
        pid = pid != 0 ? pid : wdtest::LaunchedPid(m);
    EXPECT_TRUE(zvtest::WaitForHttp(port, kSoonMs));
    EXPECT_EQ(std::vector<DWORD>{pid}, zvtest::FindProcessesByImage(exe));

    Stop(process);
    EXPECT_EQ(1u, watch.Count("TerminateProcess issued"));
    EXPECT_TRUE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(pid); }, kSoonMs));
    EXPECT_FALSE(zvtest::PortAccepts(port));
    wdtest::KillAllFrom(exe);
}

// Its pipe broken, a launcher's writes fail, and it goes on.
TEST_F(ServiceTest, LauncherWritesOnWhenTheServiceProcessIsKilled)
{
    zvtest::TempFolder folder("zvbabble");
    const std::string exe = wdtest::PlaceSleeper(folder.path(), "babbler.exe");
    ASSERT_TRUE(wdtest::SetServerExePath(zvtest::Widen(exe)));
    LogWatch watch;
    ScopedHandle process = Start();
    ASSERT_TRUE(watch.WaitFor("Launcher output (PID=", kSoonMs, 1, true));
    const std::vector<DWORD> babbler = zvtest::FindProcessesByImage(exe);
    ASSERT_EQ(1u, babbler.size());
    zvtest::KillProcess(Query().dwProcessId);
    std::string error;
    EXPECT_TRUE(wdtest::WaitUntil([&] { return zvtest::ReadFileBytes(exe + ".failed", error); }, kSoonMs));
    EXPECT_FALSE(wdtest::WaitUntil([&] { return !wdtest::IsAlive(babbler[0]); }, 500)) << error;
    wdtest::KillAllFrom(exe);
}

TEST(ServiceProgram, RunByHandLogsDispatcherFailureAndExitsZero)
{
    LogWatch watch;
    const zvtest::RunResult result = zvtest::RunProgram("\"" + WatchdogExe() + "\"", "", 60000);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ((std::vector<std::string>{"Process start. CmdLine: \"" + WatchdogExe() + "\"",
                                        "StartServiceCtrlDispatcher failed: 1063"}),
              watch.Messages());
}

}  // namespace
