// The setup program in a fresh prefix: silent install, an administrator's
// edits, an upgrade over them, refused switches, silent removal; and a
// payload without the service program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "scoped_handle.h"
#include "testsupport.h"

namespace {

const std::string kServiceFolder = "C:\\Program Files\\ZorvaneService";
const std::string kServerFolder = "C:\\Program Files\\ZorvaneIs";
const std::string kUninstaller = kServiceFolder + "\\Uninstall.exe";
const std::string kLog = "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log";
const std::string kUninstallKeys = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr int kEditedPort = 18470;
constexpr int kHandStartedPort = 18301;
const std::string kRecordKey = "SOFTWARE\\ZorvaneIS";
const std::string kNetshLog = "C:\\zv-netsh.log";
const std::string kNetshRefuse = "C:\\zv-netsh-refuse";
const std::string kNetshRule = "advfirewall firewall add rule name=\"Zorvane Information Server\" dir=in action=allow "
                               "program=\"C:\\Program Files\\ZorvaneIs\\zorvaneis.exe\" protocol=TCP profile=any "
                               "enable=yes";
const std::string kNetshDelete = "advfirewall firewall delete rule name=\"Zorvane Information Server\"";

zvtest::RunResult RunSilently(const char* setupExe, const std::string& switches = "")
{
    return zvtest::RunProgram("\"" + zvtest::HostPath(setupExe) + "\" /S" + switches, "", 180000);
}

// What setup asked of netsh since the last call, one call a line.
std::string NetshCalls()
{
    std::string calls;
    zvtest::ReadFileBytes(kNetshLog, calls);
    DeleteFileA(kNetshLog.c_str());
    return calls;
}

void UseNetshStandIn()
{
    ASSERT_TRUE(zvtest::CopyFileTo(zvtest::HostPath(ZV_NETSH_STAND_IN), "C:\\windows\\system32\\netsh.exe"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    const ScopedKey scoped(key);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "netsh.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>("native"), 7));
}

// The record's values that setup may write, as "Name=value".
std::string RecordSettings()
{
    std::string text;
    for (const char* name : {"RelaunchOnExit", "HealthCheckMaxStatus", "LogMaxSizeMB", "LogKeepFiles", "HealthCheckUrl"})
        text += std::string(name) + "=" + zvtest::MachineValue(kRecordKey, name) + " ";
    return text;
}

// An uninstaller copies itself to the temporary folder and returns at once
// unless told its folder with _?= (unquoted, last): such a copy can be
// waited for and still delete the original.
DWORD RunUninstallerSilently(const std::string& serviceFolder = kServiceFolder)
{
    zvtest::TempFolder temp("zvuninst");
    if (!zvtest::CopyFileTo(serviceFolder + "\\Uninstall.exe", temp.File("u.exe")))
        return static_cast<DWORD>(-1);
    return zvtest::RunProgram("\"" + temp.File("u.exe") + "\" /S _?=" + serviceFolder, "", 180000).exitCode;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Holds `path` open as a program that uses it would: shared for reading only.
HANDLE HoldOpen(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string FileText(const std::string& path)
{
    std::string text;
    zvtest::ReadFileBytes(path, text);
    return text;
}

// A value of an uninstall entry (64-bit view) as text; "" when missing.
std::string EntryValue(const std::string& entry, const char* name)
{
    char buffer[1040] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    RegGetValueA(HKEY_LOCAL_MACHINE, (kUninstallKeys + "\\" + entry).c_str(), name,
                 RRF_RT_REG_SZ | RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, &type, buffer, &size);
    return type == REG_DWORD ? std::to_string(*reinterpret_cast<const DWORD*>(buffer)) : buffer;
}

// Entries in "Installed apps" that name the product.
int ProductEntries()
{
    HKEY raw = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKeys.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &raw);
    const ScopedKey keys(raw);
    int found = 0;
    char name[256];
    for (DWORD i = 0, length = sizeof name; RegEnumKeyExA(keys.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = sizeof name)
        found += EntryValue(name, "DisplayName").find("Zorvane") != std::string::npos;
    return found;
}

TEST(Installer, InstallUpgradeRemove)
{
    ASSERT_FALSE(zvtest::PortAccepts(1465)) << "port 1465 is taken by something else";
    UseNetshStandIn();
    ASSERT_EQ(0u, RunSilently(ZV_SETUP_EXE).exitCode);
    // A new installation: the settings a production server wants, and the firewall rule.
    EXPECT_EQ("RelaunchOnExit=dword:1 HealthCheckMaxStatus=dword:599 LogMaxSizeMB=dword:10 LogKeepFiles=dword:5 "
              "HealthCheckUrl=http://127.0.0.1:1465/ ",
              RecordSettings());
    EXPECT_EQ(kNetshDelete + "\n" + kNetshRule + "\n", NetshCalls());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), zvtest::ServiceState("ZorvaneISSvc"));
    ASSERT_TRUE(zvtest::WaitForHttp(1465, 20000)) << FileText(kLog);
    EXPECT_EQ(200, zvtest::HttpGet(1465, "/").status);
    const struct {
        const char* name;
        std::string expected;
    } values[] = {
        {"DisplayName", "Zorvane Information Server"}, {"DisplayVersion", ZV_VERSION}, {"Publisher", "Tovimar"},
        {"InstallLocation", kServiceFolder}, {"UninstallString", "\"" + kUninstaller + "\""},
        {"QuietUninstallString", "\"" + kUninstaller + "\" /S"},
    };
    for (const auto& value : values)
        EXPECT_EQ(value.expected, EntryValue("ZorvaneIS", value.name)) << value.name;
    EXPECT_GT(std::stoul("0" + EntryValue("ZorvaneIS", "EstimatedSize")), 100u);  // KiB
    EXPECT_EQ(1, ProductEntries());

    // A switch value that is not exactly one that setup takes ends it before
    // anything changes: the service keeps running in the same process.
    DWORD serviceProcess = 0;
    DWORD pid = 0;
    zvtest::ServiceState("ZorvaneISSvc", &serviceProcess);
    const char* refused[] = {" /ACCOUNT=LocalSystem\" C:\\users\\Public\\evil.exe", " /RELAUNCH=yes",
                             " /HEALTHCHECK=http://127.0.0.1:1465/\"x", " /HEALTHCHECK=http://h:65536/",
                             " /HEALTHCHECK=off /HEALTHMAXSTATUS=399", " /LOGMAXMB=010", " /LOGMAXMB="};
    for (const char* switches : refused) {
        EXPECT_EQ(2u, RunSilently(ZV_SETUP_EXE, switches).exitCode) << switches;
        zvtest::ServiceState("ZorvaneISSvc", &pid);
        EXPECT_EQ(serviceProcess, pid) << switches;
    }
    EXPECT_EQ(200, zvtest::HttpGet(1465, "/").status);
    EXPECT_EQ("", NetshCalls());

    // The administrator moves the server to another port, with the check's
    // URL, turns the relaunch off and adds a page; the same setup again keeps
    // all of them, and the server comes back with them. Netsh refusing the
    // rule does not fail it.
    const std::string config = "DOC_ROOT=site\r\nPORT=" + std::to_string(kEditedPort) + "\r\n";
    const std::string page = "<p>added by the administrator</p>\n";
    const std::string pagePath = kServerFolder + "\\site\\added.html";
    ASSERT_TRUE(zvtest::WriteFileBytes(kServerFolder + "\\zorvaneis.cfg", config));
    ASSERT_TRUE(zvtest::MakeFolders(kServerFolder + "\\site") && zvtest::WriteFileBytes(pagePath, page));
    // A launcher started by hand holds the programs too; the upgrade ends it.
    zvtest::TempFolder temp("zvhand");
    ASSERT_TRUE(zvtest::WriteFileBytes(temp.File("hand.cfg"), "PORT=" + std::to_string(kHandStartedPort) + "\r\n"));
    zvtest::BackgroundProgram byHand;
    ASSERT_TRUE(byHand.Start("\"" + kServerFolder + "\\zorvaneis.exe\" \"" + temp.File("hand.cfg") + "\""));
    ASSERT_TRUE(zvtest::WaitForHttp(kHandStartedPort, 15000)) << byHand.Err();
    ASSERT_EQ(0u, zvtest::RunProgram("\"" + kServiceFolder + "\\Dromlet.exe\" install --relaunch-on-exit off "
                                     "--health-check http://127.0.0.1:" + std::to_string(kEditedPort) + "/")
                      .exitCode);
    const std::string edited = RecordSettings();
    EXPECT_EQ("RelaunchOnExit=<missing> HealthCheckMaxStatus=dword:599 LogMaxSizeMB=dword:10 LogKeepFiles=dword:5 "
              "HealthCheckUrl=http://127.0.0.1:" + std::to_string(kEditedPort) + "/ ",
              edited);
    NetshCalls();
    ASSERT_TRUE(zvtest::WriteFileBytes(kNetshRefuse, ""));
    ASSERT_EQ(0u, RunSilently(ZV_SETUP_EXE).exitCode);
    DeleteFileA(kNetshRefuse.c_str());
    EXPECT_EQ(edited, RecordSettings());
    EXPECT_EQ(kNetshDelete + "\n" + kNetshRule + "\n", NetshCalls());
    EXPECT_FALSE(byHand.IsRunning());
    EXPECT_EQ(config, FileText(kServerFolder + "\\zorvaneis.cfg"));
    EXPECT_NE(std::string::npos, FileText(kLog).find("  ServiceMain: stopped")) << "not stopped before the upgrade";
    ASSERT_TRUE(zvtest::WaitForHttp(kEditedPort, 20000)) << FileText(kLog);
    EXPECT_EQ(page, zvtest::HttpGet(kEditedPort, "/added.html").body);
    EXPECT_EQ(1, ProductEntries());

    // A program file that another program holds fails the upgrade, and then
    // the removal, which keeps its entry so that it can be run again.
    {
        const ScopedHandle held(HoldOpen(kServerFolder + "\\halvix.dll"));
        ASSERT_TRUE(held);
        EXPECT_EQ(2u, RunSilently(ZV_SETUP_EXE).exitCode);
        EXPECT_EQ(2u, RunUninstallerSilently());
        EXPECT_EQ(1, ProductEntries());
    }

    // Removal: service, programs, entry and firewall rule gone; the log and the page kept.
    NetshCalls();
    EXPECT_EQ(0u, RunUninstallerSilently());
    EXPECT_EQ(kNetshDelete + "\n", NetshCalls());
    EXPECT_TRUE(zvtest::WaitUntil([] { return zvtest::ServiceState("ZorvaneISSvc") == 0; }, 10000, 200));
    for (const std::string& gone : {kServiceFolder, kServerFolder + "\\zorvaneis.exe", kServerFolder + "\\halvix.dll"})
        EXPECT_FALSE(Exists(gone)) << gone;
    EXPECT_EQ(0, ProductEntries());
    EXPECT_FALSE(FileText(kLog).empty());
    EXPECT_EQ(page, FileText(pagePath));
}

TEST(Installer, FailsWhenDromletInstallFails)
{
    ASSERT_FALSE(Exists(kServiceFolder)) << "left installed by an earlier case";
    EXPECT_EQ(2u, RunSilently(ZV_SETUP_WITHOUT_SERVICE_EXE).exitCode);
    EXPECT_EQ(0u, zvtest::ServiceState("ZorvaneISSvc"));
    // What was copied before the failure is removed the usual way.
    EXPECT_EQ(1, ProductEntries());
    EXPECT_EQ(0u, RunUninstallerSilently());
    EXPECT_FALSE(Exists(kServiceFolder));
}

// Setup and Dromlet follow Program Files to D: (else install finds no service
// program); an upgrade passes on the switches given, and only those.
TEST(Installer, SwitchesAndProgramFilesOnAnotherDrive)
{
    const std::string serviceFolder = "D:\\Program Files\\ZorvaneService";
    ASSERT_FALSE(Exists(kServiceFolder)) << "left installed by an earlier case";
    zvtest::MoveProgramFiles("D:\\Program Files");
    EXPECT_TRUE(zvtest::MakeFolders("D:\\Program Files"));
    UseNetshStandIn();
    NetshCalls();
    ASSERT_EQ(0u, RunSilently(ZV_SETUP_EXE, " /relaunch=OFF /HEALTHCHECK=off /LOGMAXMB=4096 /FIREWALL=off "
                                            "/ACCOUNT=localservice")
                      .exitCode);
    EXPECT_TRUE(zvtest::WaitForHttp(1465, 20000)) << FileText(kLog);
    EXPECT_EQ("RelaunchOnExit=<missing> HealthCheckMaxStatus=<missing> LogMaxSizeMB=dword:4096 LogKeepFiles=dword:5 "
              "HealthCheckUrl=<missing> ",
              RecordSettings());
    EXPECT_EQ(kNetshDelete + "\n", NetshCalls());
    ASSERT_EQ(0u, RunSilently(ZV_SETUP_EXE, " /HEALTHCHECK=http://[::1]:18470/x?a=b:c").exitCode);
    EXPECT_EQ("RelaunchOnExit=<missing> HealthCheckMaxStatus=<missing> LogMaxSizeMB=dword:4096 LogKeepFiles=dword:5 "
              "HealthCheckUrl=http://[::1]:18470/x?a=b:c ",
              RecordSettings());
    EXPECT_EQ(0u, RunUninstallerSilently(serviceFolder));
    EXPECT_TRUE(zvtest::WaitUntil([] { return zvtest::ServiceState("ZorvaneISSvc") == 0; }, 10000, 200));
    EXPECT_FALSE(Exists(serviceFolder) || Exists(kServiceFolder));
    zvtest::MoveProgramFiles("C:\\Program Files");
}

}  // namespace
