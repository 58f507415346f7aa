// Dromlet against the real service manager, registry and Program Files layout
// of the test prefix, with the real watchdog and launcher in place.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control.h"
#include "event_source.h"
#include "expected_usage.h"
#include "install.h"
#include "options.h"
#include "scoped_handle.h"
#include "testsupport.h"

namespace {

using zvtest::BackgroundProgram;
using zvtest::RunResult;

constexpr char kServiceExe[] = "C:\\Program Files\\ZorvaneService\\zorvaneissvc.exe";
constexpr char kLauncherFolder[] = "C:\\Program Files\\ZorvaneIs";
constexpr char kLauncherExe[] = "C:\\Program Files\\ZorvaneIs\\zorvaneis.exe";
constexpr char kContentRoot[] = "C:\\Program Files\\zorvaneis\\";
constexpr char kDisplayName[] = "Tovimar Zorvane Information Server";
// A second copy of the watchdog in a folder without blanks.
constexpr char kPlainServiceFolder[] = "C:\\ZvSetupBin";
constexpr char kPlainServiceExe[] = "C:\\ZvSetupBin\\zorvaneissvc.exe";
// The launcher that the watchdog starts listens here; copies that a test
// starts itself get ports of their own above it.
constexpr int kWatchdogLauncherPort = 18400;

std::string BuiltProgram(const char* name) { return zvtest::HostPath(ZV_BIN_DIR) + "\\" + name; }

RunResult Dromlet(const std::string& arguments, const std::string& workDir = "")
{
    return zvtest::RunProgram("\"" + zvtest::HostPath(ZV_DROMLET_EXE) + "\" " + arguments, workDir, 90000);
}

// The current state of ZorvaneISSvc; 0 when it is not installed.
DWORD ServiceState() { return zvtest::ServiceState(kServiceName); }

bool WaitForServiceState(DWORD state, DWORD timeoutMs)
{
    return zvtest::WaitUntil([state] { return ServiceState() == state; }, timeoutMs, 100);
}

// Stops and deletes the service, without the code under test.
void RemoveService()
{
    {
        ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScopedService service(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service)
            return;
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitForServiceState(SERVICE_STOPPED, 20000);
        DeleteService(service.get());
    }
    WaitForServiceState(0, 10000);
}

void KillProcessesOf(const char* image)
{
    for (DWORD pid : zvtest::FindProcessesByImage(image))
        zvtest::KillProcess(pid);
}

struct StoredConfig {
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string commandLine;
    std::string account;
    std::string displayName;
    std::string description;
};

bool ReadServiceConfig(StoredConfig& config)
{
    ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedService service(OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    if (!service)
        return false;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigA(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed))
        return false;
    const auto* stored = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
    config.type = stored->dwServiceType;
    config.startType = stored->dwStartType;
    config.errorControl = stored->dwErrorControl;
    config.commandLine = stored->lpBinaryPathName ? stored->lpBinaryPathName : "";
    config.account = stored->lpServiceStartName ? stored->lpServiceStartName : "";
    config.displayName = stored->lpDisplayName ? stored->lpDisplayName : "";
    std::vector<BYTE> description(4096);
    if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(),
                             static_cast<DWORD>(description.size()), &needed)) {
        const char* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description.data())->lpDescription;
        config.description = text ? text : "";
    }
    return true;
}

bool RecordExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The value's text; "<missing>" when it cannot be read as REG_SZ.
std::string RecordValue(const char* name)
{
    DWORD type = 0;
    const std::string value = zvtest::MachineValue(kRecordKey, name, &type);
    return type == REG_SZ ? value : "<missing>";
}

void SetRecordValue(const char* name, DWORD type, const std::string& text)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    ScopedKey scoped(key);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                            static_cast<DWORD>(text.size() + 1)));
}

void DeleteRecord() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0); }

// Standard error of this process, byte for byte, while `run` runs.
template <typename Run>
std::string CaptureStderr(const zvtest::TempFolder& folder, Run run)
{
    const std::string path = folder.File("stderr.txt");
    std::fflush(stderr);
    const int saved = _dup(2);
    const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(file, 2);
    _close(file);
    run();
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    std::string text;
    zvtest::ReadFileBytes(path, text);
    return text;
}

SC_HANDLE WINAPI RefuseOpen(SC_HANDLE, LPCSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

// Answers that Wine's service manager never gives, for the token's two settings.
struct FakeManager {
    DWORD refusedLevel;
    DWORD refusal;
    bool unknownLevel;  // the refused level cannot be read either (124)
    int markedForDelete;  // calls refused with 1072 before the others
    DWORD keptSidType;
    const char* keptPrivileges;
};
FakeManager g_fake;

BOOL WINAPI FakeChangeConfig2(SC_HANDLE, DWORD level, LPVOID)
{
    const bool refused = g_fake.markedForDelete > 0 || level == g_fake.refusedLevel;
    SetLastError(level == g_fake.refusedLevel ? g_fake.refusal : ERROR_SERVICE_MARKED_FOR_DELETE);
    g_fake.markedForDelete -= g_fake.markedForDelete > 0;
    return !refused;
}

BOOL WINAPI FakeQueryConfig2(SC_HANDLE, DWORD level, LPBYTE buffer, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_LEVEL);
    if (level == SERVICE_CONFIG_SERVICE_SID_INFO)
        reinterpret_cast<SERVICE_SID_INFO*>(buffer)->dwServiceSidType = g_fake.keptSidType;
    else
        reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer)->pmszRequiredPrivileges =
            const_cast<char*>(g_fake.keptPrivileges);
    return !(g_fake.unknownLevel && level == g_fake.refusedLevel);
}

class SetupService : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveService();
        KillProcessesOf(kLauncherExe);
        DeleteRecord();
        ASSERT_TRUE(zvtest::MakeFolders("C:\\Program Files\\ZorvaneService"));
        ASSERT_TRUE(zvtest::MakeFolders(kLauncherFolder));
        ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("zorvaneissvc.exe"), kServiceExe));
        ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("zorvaneis.exe"), kLauncherExe));
        ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("halvix.dll"), std::string(kLauncherFolder) + "\\halvix.dll"));
        ASSERT_TRUE(zvtest::WriteFileBytes(std::string(kLauncherFolder) + "\\zorvaneis.cfg",
                                           "PORT=" + std::to_string(kWatchdogLauncherPort) + "\n"));
    }

    void TearDown() override
    {
        g_openService = OpenServiceA;
        g_setServiceSecurity = SetServiceObjectSecurity;
        g_changeServiceConfig2 = ChangeServiceConfig2A;
        g_queryServiceConfig2 = QueryServiceConfig2A;
        RemoveService();
        KillProcessesOf(kLauncherExe);
        KillProcessesOf(kPlainServiceExe);
        DeleteRecord();
    }

    // Starts a launcher from `image` (the installed one, in any spelling)
    // that serves on `port`, and waits until it answers.
    void StartLauncher(BackgroundProgram& launcher, const std::string& image, int port)
    {
        const std::string config = folder_.File("port" + std::to_string(port) + ".cfg");
        ASSERT_TRUE(zvtest::WriteFileBytes(config, "PORT=" + std::to_string(port) + "\n"));
        ASSERT_TRUE(launcher.Start("\"" + image + "\" \"" + config + "\""));
        ASSERT_TRUE(zvtest::WaitForHttp(port, 15000)) << launcher.Err();
    }

    void InstallRunning()
    {
        const RunResult r = Dromlet("install");
        ASSERT_EQ(0u, r.exitCode) << r.err;
        ASSERT_EQ(SERVICE_RUNNING, ServiceState());
    }

    zvtest::TempFolder folder_{"zvsetup"};
};

void ExpectSilentSuccess(const RunResult& r, const std::string& what)
{
    EXPECT_FALSE(r.timedOut) << what;
    EXPECT_EQ(0u, r.exitCode) << what;
    EXPECT_EQ("", r.out) << what;
    EXPECT_EQ("", r.err) << what;
}

TEST_F(SetupService, InstallWritesRecordAndConfiguresRunningService)
{
    ExpectSilentSuccess(Dromlet("install"), "install");
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
    EXPECT_EQ(kLauncherExe, RecordValue("ServerExePath"));
    EXPECT_EQ(kContentRoot, RecordValue("ContentRoot"));

    StoredConfig config;
    ASSERT_TRUE(ReadServiceConfig(config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
    EXPECT_EQ("LocalSystem", config.account);
    EXPECT_EQ(kDisplayName, config.displayName);
    EXPECT_EQ("Installed by Dromlet", config.description);
    EXPECT_EQ("\"C:\\Program Files\\ZorvaneService\\zorvaneissvc.exe\" --root \"C:\\Program Files\\zorvaneis\\\"",
              config.commandLine);
    // The Application log's source, with the program as its message file.
    DWORD type = 0;
    EXPECT_EQ(kServiceExe, zvtest::MachineValue(kEventSourceKey, "EventMessageFile", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ("dword:3", zvtest::MachineValue(kEventSourceKey, "TypesSupported"));

    // Again over the running service, in other letter case: reconfigured,
    // found running, nothing written.
    SetRecordValue("ServerExePath", REG_SZ, "C:\\elsewhere.exe");
    ExpectSilentSuccess(Dromlet("INSTALL"), "second install");
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
    EXPECT_EQ(kLauncherExe, RecordValue("ServerExePath"));
    ExpectSilentSuccess(Dromlet("Start some words"), "start of a running service");
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
}

// Wine switches no identity: under any account the service runs as before.
TEST_F(SetupService, AccountIsStoredAndKeptByReinstallWithoutOne)
{
    const char* steps[][2] = {{"install --account localservice", "NT AUTHORITY\\LocalService"},
        {"install", "NT AUTHORITY\\LocalService"}, {"install --account NetworkService", "NT AUTHORITY\\NetworkService"},
        {"install --ACCOUNT ZorvaneISSvc", "NT SERVICE\\ZorvaneISSvc"},
        {"install --account LocalSystem", "LocalSystem"}};
    for (const auto& step : steps) {
        ExpectSilentSuccess(Dromlet(step[0]), step[0]);
        StoredConfig config;
        EXPECT_TRUE(ReadServiceConfig(config) && config.account == step[1]) << step[0] << ": " << config.account;
    }
    EXPECT_TRUE(zvtest::WaitForHttp(kWatchdogLauncherPort, 20000)) << "not served since its start as LocalService";
}

// Wine never refuses a DACL: the refusal comes through the call's seam.
TEST_F(SetupService, RefusedDaclStillLeavesCompleteService)
{
    g_setServiceSecurity = [](SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    EXPECT_FALSE(CreateOrUpdateService(kServiceName, kDisplayName, kServiceExe, nullptr));
    StoredConfig config;
    EXPECT_TRUE(ReadServiceConfig(config) && config.description == "Installed by Dromlet");
}

// Refusals but an unknown level are reported, what is kept is read back, and
// a service marked for deletion is waited for up to 10 s.
TEST_F(SetupService, TokenSettingsAreCheckedAndReadBack)
{
    const DWORD sid = SERVICE_CONFIG_SERVICE_SID_INFO;
    const char* lesser = "SeChangeNotifyPrivilege\0";
    const char* system = "serestoreprivilege\0SeChangeNotifyPrivilege\0SETAKEOWNERSHIPPRIVILEGE\0";
    const struct {
        const char* account;
        FakeManager fake;
        std::string err;  // none: installed
    } cases[] = {
        {"LocalService", {sid, ERROR_INVALID_PARAMETER, true, 0, 1, lesser}, ""},  // Wine
        {"LocalSystem", {0, 0, false, 0, 0, system}, ""},
        {"ZorvaneISSvc", {0, 0, false, 3, 1, lesser}, ""},
        {"LocalService", {sid, ERROR_ACCESS_DENIED, false, 0, 1, lesser},
         ErrorLine("ChangeServiceConfig2: ", ERROR_ACCESS_DENIED)},
        {"ZorvaneISSvc", {0, 0, false, 0, 0, lesser},
         "ChangeServiceConfig2: the service manager keeps service SID type 0, not 1\n"},
        {"LocalSystem", {0, 0, false, 0, 0, "SeChangeNotifyPrivilege\0SeDebugPrivilege\0"},
         "ChangeServiceConfig2: the service manager keeps required privileges SeChangeNotifyPrivilege, "
         "SeDebugPrivilege, not SeChangeNotifyPrivilege, SeTakeOwnershipPrivilege, SeRestorePrivilege\n"},
        {"LocalService", {0, 0, false, 1000, 1, lesser},
         ErrorLine("ChangeServiceConfig2: ", ERROR_SERVICE_MARKED_FOR_DELETE) +
             "install: the service ZorvaneISSvc was deleted but is still held open; close the Services console "
             "and every other program that has it open (or restart Windows), then run install again\n"},
    };
    g_changeServiceConfig2 = FakeChangeConfig2;
    g_queryServiceConfig2 = FakeQueryConfig2;
    for (const auto& c : cases) {
        g_fake = c.fake;
        bool installed = false;
        const DWORD startTick = GetTickCount();
        const std::string err = CaptureStderr(folder_, [&] {
            installed = CreateOrUpdateService(kServiceName, kDisplayName, kServiceExe, FindServiceAccount(c.account));
        });
        EXPECT_EQ(c.err.empty(), installed) << c.err;
        EXPECT_EQ(c.err, err);
        EXPECT_EQ(c.fake.markedForDelete > 3, GetTickCount() - startTick >= kMarkedForDeleteWaitMs) << c.err;
    }
}

// Without the 64-bit Program Files folder there is no guess where it is.
TEST_F(SetupService, NoBuiltInPathsWithoutTheProgramFilesFolder)
{
    zvtest::MoveProgramFiles("D:\\Missing");
    for (const char* verb : {"install", "release"}) {
        const RunResult r = Dromlet(verb);
        EXPECT_EQ(1u, r.exitCode) << verb;
        EXPECT_EQ(ErrorLine("The 64-bit Program Files folder cannot be found (SHGetKnownFolderPath): ",
                            ERROR_PATH_NOT_FOUND),
                  r.err);
    }
    EXPECT_EQ(0u, ServiceState());
    zvtest::MoveProgramFiles("C:\\Program Files");
}

TEST_F(SetupService, InstallWordsReplacePathsAndDisplayName)
{
    InstallRunning();
    ASSERT_TRUE(zvtest::MakeFolders(kPlainServiceFolder));
    ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("zorvaneissvc.exe"), kPlainServiceExe));

    // The first path arrives wrapped in its own quotes, the second one plain.
    ExpectSilentSuccess(Dromlet(std::string("install \"\\\"C:\\ZvWeb\\\"\" ") + kPlainServiceExe +
                                " --display \"Other Name\" --start --name zorvaneissvc"),
                        "install with words");
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
    EXPECT_EQ("C:\\ZvWeb\\", RecordValue("ContentRoot"));
    EXPECT_EQ(kLauncherExe, RecordValue("ServerExePath"));
    StoredConfig config;
    ASSERT_TRUE(ReadServiceConfig(config));
    EXPECT_EQ("C:\\ZvSetupBin\\zorvaneissvc.exe --root C:\\ZvWeb\\", config.commandLine);
    EXPECT_EQ("Other Name", config.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);

    // A relative service program path is made full against the working
    // folder: the service manager would not find it from its own.
    ExpectSilentSuccess(Dromlet("install C:\\ZvWeb zorvaneissvc.exe", kPlainServiceFolder), "relative path");
    ASSERT_TRUE(ReadServiceConfig(config));
    EXPECT_EQ("C:\\ZvSetupBin\\zorvaneissvc.exe --root C:\\ZvWeb\\", config.commandLine);
}

TEST_F(SetupService, MissingServiceProgramChangesNothing)
{
    ASSERT_TRUE(DeleteFileA(kServiceExe));
    const struct {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"install", std::string("install: service exe not found: ") + kServiceExe + "\n"},
        {"install C:\\ZvWeb \"\\\"C:\\No Such\\svc.exe\\\"\"", "install: service exe not found: C:\\No Such\\svc.exe\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Dromlet(c.arguments);
        EXPECT_EQ(1u, r.exitCode) << c.arguments;
        EXPECT_EQ("", r.out) << c.arguments;
        EXPECT_EQ(c.message, r.err) << c.arguments;
        EXPECT_FALSE(RecordExists()) << c.arguments;
        EXPECT_EQ(0u, ServiceState()) << c.arguments;
    }
}

TEST_F(SetupService, BadInstallWordsTouchNothing)
{
    const struct {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"install --bogus", "install: unknown option: --bogus\n"},
        {"install --display", "install: missing value after --display\n"},
        {"install C:\\ZvWeb C:\\svc.exe C:\\third", "install: unexpected argument: C:\\third\n"},
        {"Install C:\\ZvWeb --name OtherSvc", "install: the service name must be ZorvaneISSvc, not OtherSvc\n"},
        {"install --start --name", "install: missing value after --name\n"},
        {"install --display --start", "install: missing value after --display\n"},
        {"install -x C:\\ZvWeb", "install: unknown option: -x\n"},
        {"install --name ZorvaneISSvc2", "install: the service name must be ZorvaneISSvc, not ZorvaneISSvc2\n"},
        {"install --account LocalServices", "install: unknown account: LocalServices (accounts: LocalSystem, "
                                            "LocalService, NetworkService, ZorvaneISSvc)\n"},
        // The runtime reads "C:\My Web\" C:\svc.exe as one word: C:\My Web" C:\svc.exe.
        {"install \"C:\\My Web\\\" C:\\svc.exe",
         "install: a path may not hold a double quote: C:\\My Web\" C:\\svc.exe (a backslash before a closing "
         "quote keeps the quote: write it twice, \"C:\\My Web\\\\\", or leave it out)\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Dromlet(c.arguments);
        EXPECT_EQ(2u, r.exitCode) << c.arguments;
        EXPECT_EQ(kExpectedUsage, r.out) << c.arguments;
        EXPECT_EQ(c.message, r.err) << c.arguments;
        EXPECT_FALSE(RecordExists()) << c.arguments;
        EXPECT_EQ(0u, ServiceState()) << c.arguments;
    }
}

// One status per state, for scripts; the lines name what a reader needs.
TEST_F(SetupService, StatusTellsWhetherTheServerIsServed)
{
    const auto expectStatus = [](DWORD status, const std::vector<std::string>& lines, const char* what) {
        const RunResult r = Dromlet("STATUS");
        EXPECT_EQ(status, r.exitCode) << what << "\n" << r.out;
        EXPECT_EQ("", r.err) << what;
        for (const std::string& line : lines)
            EXPECT_NE(std::string::npos, r.out.find(line + "\n")) << what << ": " << line << "\n" << r.out;
    };
    expectStatus(4, {"Service           ZorvaneISSvc: not installed", "Launchers         none", "Health check      off"},
                 "not installed");

    ExpectSilentSuccess(Dromlet("install --relaunch-on-exit on --health-check http://127.0.0.1:18400/ "
                                "--health-max-status 599 --log-max-mb 10"),
                        "install");
    ASSERT_TRUE(zvtest::WaitUntil([] { return !zvtest::FindProcessesByImage(kLauncherExe).empty(); }, 20000, 100));
    const std::vector<DWORD> pids = zvtest::FindProcessesByImage(kLauncherExe);
    expectStatus(0, {"Service           ZorvaneISSvc: running", "Launchers         " + std::to_string(pids[0]),
                     "Health check      http://127.0.0.1:18400/, every 10 s, 3 failures in a row end the launcher, "
                     "HTTP 200 to 599 passes",
                     "Log limit         10 MB, 5 older files kept"},
                 "running");

    SetRecordValue("ServerExePath", REG_SZ, "C:\\ZvNoSuch\\zorvaneis.exe");
    expectStatus(3, {"Service           ZorvaneISSvc: running", "Launchers         none"}, "no launcher");

    ExpectSilentSuccess(Dromlet("stop"), "stop");
    expectStatus(3, {"Service           ZorvaneISSvc: stopped", "Process id        none"}, "stopped");
}

TEST_F(SetupService, FailedStartAfterInstallLeavesServiceInstalled)
{
    // A program that ends at once instead of serving.
    const RunResult r = Dromlet("install C:\\ZvWeb C:\\windows\\system32\\hostname.exe");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("StartService: ")) << r.err;
    const std::string tail = "\r\n\nService installed but failed to start (see Event Log).\n";
    ASSERT_GT(r.err.size(), tail.size());
    EXPECT_EQ(tail, r.err.substr(r.err.size() - tail.size())) << r.err;
    EXPECT_NE(0u, ServiceState());
    EXPECT_EQ("C:\\ZvWeb\\", RecordValue("ContentRoot"));
}

TEST_F(SetupService, StartAndStopReportTheState)
{
    ExpectSilentSuccess(Dromlet("STOP"), "stop when not installed");

    const RunResult notInstalled = Dromlet("start");
    EXPECT_EQ(1u, notInstalled.exitCode);
    EXPECT_EQ("", notInstalled.out);
    EXPECT_EQ(ErrorLine("OpenService: ", ERROR_SERVICE_DOES_NOT_EXIST), notInstalled.err);
    EXPECT_EQ("\r\n\n", notInstalled.err.substr(notInstalled.err.size() - 3));

    InstallRunning();
    ExpectSilentSuccess(Dromlet("stop"), "stop");
    EXPECT_EQ(SERVICE_STOPPED, ServiceState());
    ExpectSilentSuccess(Dromlet("Stop again please"), "stop of a stopped service");
    EXPECT_EQ(SERVICE_STOPPED, ServiceState());
    ExpectSilentSuccess(Dromlet("sTaRt"), "start");
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
}

TEST_F(SetupService, UninstallRemovesServiceAndEveryLauncher)
{
    InstallRunning();
    BackgroundProgram asRecorded;
    BackgroundProgram otherCase;
    StartLauncher(asRecorded, kLauncherExe, kWatchdogLauncherPort + 1);
    // Started by a path in other letter case; Wine reports its image in the
    // spelling on disk all the same.
    StartLauncher(otherCase, "c:\\program files\\zorvaneis\\ZORVANEIS.EXE", kWatchdogLauncherPort + 2);

    ExpectSilentSuccess(Dromlet("UNINSTALL now"), "uninstall");
    EXPECT_EQ(0u, ServiceState());
    EXPECT_EQ("<missing>", zvtest::MachineValue(kEventSourceKey, "EventMessageFile"));
    EXPECT_EQ(kLauncherExe, RecordValue("ServerExePath"));
    EXPECT_EQ(kContentRoot, RecordValue("ContentRoot"));
    // Terminated with exit code 0, which only the setup tool uses for them.
    ASSERT_TRUE(asRecorded.WaitForExit(5000));
    EXPECT_EQ(0u, asRecorded.ExitCode());
    ASSERT_TRUE(otherCase.WaitForExit(5000));
    EXPECT_EQ(0u, otherCase.ExitCode());
    EXPECT_TRUE(zvtest::FindProcessesByImage(kLauncherExe).empty());
}

TEST_F(SetupService, UninstallWhenNotInstalledStillTerminatesLaunchers)
{
    // Wine reports image paths in the spelling on disk, so the letter case
    // that the comparison has to ignore is put in the record, with slashes.
    SetRecordValue("ServerExePath", REG_SZ, "c:\\PROGRAM FILES/zorvaneis/ZORVANEIS.exe");
    BackgroundProgram launcher;
    StartLauncher(launcher, kLauncherExe, kWatchdogLauncherPort + 3);
    // The same file name in another folder is not the recorded launcher.
    ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("zorvaneis.exe"), folder_.File("zorvaneis.exe")));
    ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("halvix.dll"), folder_.File("halvix.dll")));
    BackgroundProgram namesake;
    StartLauncher(namesake, folder_.File("zorvaneis.exe"), kWatchdogLauncherPort + 6);

    ExpectSilentSuccess(Dromlet("uninstall"), "uninstall");
    ASSERT_TRUE(launcher.WaitForExit(5000));
    EXPECT_EQ(0u, launcher.ExitCode());
    EXPECT_TRUE(namesake.IsRunning());
}

TEST_F(SetupService, UninstallWithoutUsableRecordedPathLeavesLaunchers)
{
    const struct {
        const char* what;
        bool remove;
        DWORD type;
    } cases[] = {
        {"value missing", true, REG_NONE},
        {"the path stored as REG_BINARY", false, REG_BINARY},
    };
    for (const auto& c : cases) {
        InstallRunning();
        if (c.remove)
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kRecordKey, "ServerExePath");
        else
            SetRecordValue("ServerExePath", c.type, kLauncherExe);
        BackgroundProgram launcher;
        StartLauncher(launcher, kLauncherExe, kWatchdogLauncherPort + 4);

        ExpectSilentSuccess(Dromlet("uninstall"), c.what);
        EXPECT_EQ(0u, ServiceState()) << c.what;
        EXPECT_TRUE(launcher.IsRunning()) << c.what;
    }
}

// Wine's service manager grants every access; a refused open is provoked
// through the open function of the control code.
TEST_F(SetupService, RefusedServiceIsNeitherStoppedNorRemoved)
{
    InstallRunning();
    BackgroundProgram launcher;
    StartLauncher(launcher, kLauncherExe, kWatchdogLauncherPort + 5);

    g_openService = RefuseOpen;
    const std::string refused = ErrorLine("OpenService: ", ERROR_ACCESS_DENIED);
    bool stopped = true;
    const std::string stopErr = CaptureStderr(folder_, [&] { stopped = StopServiceAndWait(kStopVerbLimitMs); });
    int uninstallStatus = 0;
    const std::string uninstallErr = CaptureStderr(folder_, [&] { uninstallStatus = UninstallService(); });
    g_openService = OpenServiceA;

    EXPECT_FALSE(stopped);
    EXPECT_EQ(refused, stopErr);
    EXPECT_EQ(1, uninstallStatus);
    // Once from the stop step, once from the removal.
    EXPECT_EQ(refused + refused, uninstallErr);
    EXPECT_EQ(SERVICE_RUNNING, ServiceState());
    EXPECT_TRUE(launcher.IsRunning());
}

TEST_F(SetupService, InstallServiceNormalisesPaths)
{
    ASSERT_TRUE(zvtest::MakeFolders(kPlainServiceFolder));
    ASSERT_TRUE(zvtest::CopyFileTo(BuiltProgram("zorvaneissvc.exe"), kPlainServiceExe));
    const std::string quotedBuiltIn = "\"" + std::string(kServiceExe) + "\"";
    const struct {
        std::string contentRoot;
        std::string serviceExePath;
        std::string recordedRoot;
        std::string commandLine;
    } cases[] = {
        {"C:\\ZvWeb", kServiceExe, "C:\\ZvWeb\\", quotedBuiltIn + " --root C:\\ZvWeb\\"},
        {"C:/ZvWeb/", kServiceExe, "C:/ZvWeb/", quotedBuiltIn + " --root C:/ZvWeb/"},
        {"", kServiceExe, "", quotedBuiltIn + " --root \"\""},
        {"\"C:\\My Web\"", quotedBuiltIn, "C:\\My Web\\", quotedBuiltIn + " --root \"C:\\My Web\\\""},
        {"C:\\Zv\"Web", kPlainServiceExe, "C:\\Zv\"Web\\", "C:\\ZvSetupBin\\zorvaneissvc.exe --root \"C:\\Zv\\\"Web\\\""},
        {"\"C:\\ZvWeb\\\"", "\"C:\\ZvSetupBin\\zorvaneissvc.exe\"", "C:\\ZvWeb\\",
         "C:\\ZvSetupBin\\zorvaneissvc.exe --root C:\\ZvWeb\\"},
    };
    for (const auto& c : cases) {
        SetupOptions options;
        FillBuiltInSettings(options);
        options.contentRoot = c.contentRoot;
        options.serviceExePath = c.serviceExePath;
        options.serverExePath = "\"" + std::string(kLauncherExe) + "\"";
        ASSERT_TRUE(InstallService(options)) << c.contentRoot;
        EXPECT_EQ(c.recordedRoot, options.contentRoot);
        EXPECT_EQ(c.recordedRoot, RecordValue("ContentRoot"));
        EXPECT_EQ(kLauncherExe, RecordValue("ServerExePath"));
        StoredConfig config;
        ASSERT_TRUE(ReadServiceConfig(config));
        EXPECT_EQ(c.commandLine, config.commandLine) << c.contentRoot;
    }
    // Installing does not start the service.
    EXPECT_EQ(SERVICE_STOPPED, ServiceState());
}

// Wine keeps no DACL (the log's descriptors are checked as data with the
// log); what shows here is for which accounts install makes the folders.
TEST_F(SetupService, InstallMakesTheLogFoldersForALesserAccount)
{
    const std::string company = "C:\\ProgramData\\Tovimar";
    const std::string logFolder = company + "\\ZorvaneService";
    const struct {
        const char* account;
        bool companyIsAFile;
        bool installed;
        bool made;
    } cases[] = {
        {"LocalSystem", false, true, false},
        {"LocalService", false, true, true},
        {"ZorvaneISSvc", false, true, true},
        {"NetworkService", true, false, false},
    };
    SetupOptions options;
    for (const auto& c : cases) {
        zvtest::RemoveTree(company);
        DeleteFileA(company.c_str());
        if (c.companyIsAFile) {
            ASSERT_TRUE(zvtest::WriteFileBytes(company, "not a folder"));
        }
        FillBuiltInSettings(options);
        options.account = FindServiceAccount(c.account);
        bool installed = false;
        const std::string err = CaptureStderr(folder_, [&] { installed = InstallService(options); });
        EXPECT_EQ(c.installed, installed) << c.account;
        EXPECT_EQ(c.installed ? "" : ErrorLine(("install: cannot secure " + company + ": ").c_str(), ERROR_DIRECTORY),
                  err)
            << c.account;
        const DWORD attributes = GetFileAttributesA(logFolder.c_str());
        EXPECT_EQ(c.made, attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            << c.account;
    }
    DeleteFileA(company.c_str());
}

}  // namespace
