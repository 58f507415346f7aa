// The life of the installed system, step by step: install, serve, recover a
// killed launcher, stop, start, reinstall, uninstall; then the log of it all.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

const std::string kProgramFiles = "C:\\Program Files";
const std::string kDromlet = kProgramFiles + "\\ZorvaneService\\Dromlet.exe";
const std::string kLauncher = kProgramFiles + "\\ZorvaneIs\\zorvaneis.exe";
const std::string kLog = "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log";
constexpr int kPort = 1465;

zvtest::RunResult Dromlet(const std::string& verb)
{
    return zvtest::RunProgram("\"" + kDromlet + "\" " + verb, "", 60000);
}

DWORD ServiceState() { return zvtest::ServiceState("ZorvaneISSvc"); }

// Each poll walks every process of the prefix: 200 ms apart is often enough.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    return zvtest::WaitUntil(condition, timeoutMs, 200);
}

std::vector<DWORD> Launchers() { return zvtest::FindProcessesByImage(kLauncher); }

std::string LogText()
{
    std::string text;
    zvtest::ReadFileBytes(kLog, text);
    return text;
}

bool RegistryValue(const char* name, std::string& value)
{
    char buffer[1040] = {};
    DWORD size = sizeof buffer;
    const LSTATUS rc = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZorvaneIS", name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                                    nullptr, buffer, &size);
    value = buffer;
    return rc == ERROR_SUCCESS;
}

void ExpectSilentSuccess(const zvtest::RunResult& run, const std::string& what)
{
    EXPECT_FALSE(run.timedOut) << what;
    EXPECT_EQ(0u, run.exitCode) << what << ": " << run.err;
    EXPECT_EQ("", run.out) << what;
    EXPECT_EQ("", run.err) << what;
}

// Each message must appear after the one before it.
void ExpectInOrder(const std::string& log, const std::vector<std::string>& messages)
{
    size_t at = 0;
    for (const std::string& message : messages) {
        const size_t found = log.find("  " + message, at);
        ASSERT_NE(std::string::npos, found) << "missing after offset " << at << ": " << message << "\n" << log;
        at = found + message.size();
    }
}

TEST(SystemLife, FromInstallToUninstall)
{
    const std::string samplePage = [] {
        std::string page;
        zvtest::ReadFileBytes(kProgramFiles + "\\ZorvaneIs\\site\\index.html", page);
        return page;
    }();
    ASSERT_FALSE(samplePage.empty()) << "the installed content root holds no sample page";
    ASSERT_FALSE(zvtest::PortAccepts(kPort)) << "port 1465 is taken by something else";

    // 1. Install: silent, the service running, the launcher serving.
    ExpectSilentSuccess(Dromlet("install"), "install");
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    ASSERT_TRUE(WaitUntil([] { return Launchers().size() == 1; }, 15000)) << LogText();
    ASSERT_TRUE(zvtest::WaitForHttp(kPort, 15000));
    zvtest::HttpReply reply = zvtest::HttpGet(kPort, "/");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ(samplePage, reply.body);
    // The shipped settings serve the folder "site": the program files beside it stay unreachable.
    for (const char* target : {"/zorvaneis.cfg", "/halvix.dll", "/zorvaneis.exe", "/site/index.html"})
        EXPECT_EQ(404, zvtest::HttpGet(kPort, target).status) << target;

    // 2. A launcher killed from outside is started again by the next cycle.
    const DWORD killed = Launchers().front();
    zvtest::KillProcess(killed);
    ASSERT_TRUE(WaitUntil([] { return Launchers().empty(); }, 5000));
    const DWORD killedAt = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return !Launchers().empty() && zvtest::HttpGet(kPort, "/").status == 200; }, 75000))
        << LogText();
    const DWORD recoveredMs = GetTickCount() - killedAt;
    EXPECT_NE(killed, Launchers().front());
    std::printf("launcher serving again %lu ms after the kill\n", static_cast<unsigned long>(recoveredMs));

    // 3. Stop ends the service and the launcher within a few seconds.
    const DWORD stopStart = GetTickCount();
    ExpectSilentSuccess(Dromlet("stop"), "stop");
    EXPECT_LT(GetTickCount() - stopStart, 5000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    EXPECT_TRUE(WaitUntil([] { return Launchers().empty(); }, 3000));
    EXPECT_FALSE(zvtest::PortAccepts(kPort));

    // 4. Start again; a second install over the running service is silent.
    ExpectSilentSuccess(Dromlet("start"), "start");
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    ASSERT_TRUE(WaitUntil([] { return Launchers().size() == 1; }, 15000));
    ExpectSilentSuccess(Dromlet("install"), "second install");
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    ASSERT_TRUE(zvtest::WaitForHttp(kPort, 15000));

    // 5. A second launcher, started by hand from the same path on another port.
    zvtest::TempFolder other("zvsecond");
    ASSERT_TRUE(zvtest::WriteFileBytes(other.File("second.cfg"), "PORT=18451\r\n"));
    zvtest::BackgroundProgram byHand;
    ASSERT_TRUE(byHand.Start("\"" + kLauncher + "\" \"" + other.File("second.cfg") + "\""));
    ASSERT_TRUE(zvtest::WaitForHttp(18451, 15000)) << byHand.Err();
    EXPECT_EQ(2u, Launchers().size());

    // 6. Uninstall: no service, no launcher, the registry record kept.
    ExpectSilentSuccess(Dromlet("uninstall"), "uninstall");
    EXPECT_TRUE(WaitUntil([] { return ServiceState() == 0; }, 10000));
    EXPECT_TRUE(Launchers().empty());
    EXPECT_TRUE(byHand.WaitForExit(1000));
    std::string value;
    EXPECT_TRUE(RegistryValue("ServerExePath", value));
    EXPECT_EQ(kLauncher, value);
    EXPECT_TRUE(RegistryValue("ContentRoot", value));
    EXPECT_EQ("C:\\Program Files\\zorvaneis\\", value);

    // 7. The log holds every step in order, each line in its layout.
    const std::string log = LogText();
    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  [^\\r\\n]*\\r\\n");
    size_t lines = 0;
    for (size_t at = 0; at < log.size(); ++lines) {
        const size_t end = log.find("\r\n", at);
        ASSERT_NE(std::string::npos, end) << "unterminated last line";
        const std::string one = log.substr(at, end + 2 - at);
        EXPECT_TRUE(std::regex_match(one, line)) << one;
        at = end + 2;
    }
    EXPECT_GT(lines, 20u);
    const std::string launched = "Launched '" + kLauncher + "' (PID=";
    ExpectInOrder(log, {
                           // install
                           "Process start. CmdLine: ", "ServiceMain: starting (argc=", "Service status -> 2",
                           "Service status -> 4", "Registry path loaded: " + kLauncher,
                           "Target not running; starting: " + kLauncher, launched,
                           // the killed launcher
                           "Target not running; starting: " + kLauncher, launched,
                           // stop
                           "CtrlHandler: code=1", "Service status -> 3", "Monitor thread exiting",
                           "TerminateProcess issued", "Service status -> 1", "ServiceMain: stopped",
                           // start
                           "Process start. CmdLine: ", "Service status -> 4", launched,
                           // uninstall
                           "CtrlHandler: code=1", "Monitor thread exiting", "TerminateProcess issued",
                           "ServiceMain: stopped",
                       });
}

}  // namespace
