// The setup program's life in a fresh prefix: silent install, an
// administrator's edits, an upgrade over them, silent removal; and a setup
// program whose payload lacks the service program.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <string>

#include "scoped_handle.h"
#include "testsupport.h"

namespace {

const std::string kServiceFolder = "C:\\Program Files\\ZorvaneService";
const std::string kServerFolder = "C:\\Program Files\\ZorvaneIs";
const std::string kUninstaller = kServiceFolder + "\\Uninstall.exe";
const std::string kLog = "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log";
const char kUninstallKeys[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kEntryKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZorvaneIS";
constexpr int kShippedPort = 1465;
constexpr int kEditedPort = 18470;

zvtest::RunResult RunSilently(const char* setupExe)
{
    return zvtest::RunProgram("\"" + zvtest::HostPath(setupExe) + "\" /S", "", 180000);
}

// An uninstaller copies itself to the temporary folder and returns at once
// unless it is told its folder with _?= (unquoted, last); a copy run that
// way can be waited for and still delete the original.
zvtest::RunResult RunUninstallerSilently(const zvtest::TempFolder& temp)
{
    const std::string copy = temp.File("Uninstall.exe");
    if (!zvtest::CopyFileTo(kUninstaller, copy))
        return {static_cast<DWORD>(-1), false, "", "no uninstaller at " + kUninstaller};
    return zvtest::RunProgram("\"" + copy + "\" /S _?=" + kServiceFolder, "", 180000);
}

DWORD ServiceState() { return zvtest::ServiceState("ZorvaneISSvc"); }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string FileText(const std::string& path)
{
    std::string text;
    zvtest::ReadFileBytes(path, text);
    return text;
}

std::string EntryText(const char* name)
{
    char buffer[1040] = {};
    DWORD size = sizeof buffer;
    RegGetValueA(HKEY_LOCAL_MACHINE, kEntryKey, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer, &size);
    return buffer;
}

// Entries in "Installed apps" that name the product, 64-bit view.
int ProductEntries()
{
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKeys, 0, KEY_READ | KEY_WOW64_64KEY, &raw) != ERROR_SUCCESS)
        return -1;
    const ScopedKey keys(raw);
    int found = 0;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(keys.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        char display[512] = {};
        DWORD size = sizeof display;
        RegGetValueA(keys.get(), name, "DisplayName", RRF_RT_REG_SZ, nullptr, display, &size);
        if (std::string(display).find("Zorvane") != std::string::npos)
            ++found;
    }
    return found;
}

void ExpectEntry()
{
    const struct {
        const char* name;
        std::string expected;
    } values[] = {
        {"DisplayVersion", ZV_VERSION},
        {"Publisher", "Tovimar"},
        {"InstallLocation", kServiceFolder},
        {"UninstallString", "\"" + kUninstaller + "\""},
        {"QuietUninstallString", "\"" + kUninstaller + "\" /S"},
    };
    for (const auto& value : values)
        EXPECT_EQ(value.expected, EntryText(value.name)) << value.name;
    EXPECT_NE(std::string::npos, EntryText("DisplayName").find("Zorvane"));
    DWORD sizeKb = 0;
    DWORD size = sizeof sizeKb;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, kEntryKey, "EstimatedSize",
                                          RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &sizeKb, &size));
    EXPECT_GT(sizeKb, 100u);
    EXPECT_TRUE(Exists(kUninstaller));
}

TEST(Installer, InstallUpgradeRemove)
{
    ASSERT_FALSE(zvtest::PortAccepts(kShippedPort)) << "port 1465 is taken by something else";
    ASSERT_FALSE(zvtest::PortAccepts(kEditedPort));

    // 1. Silent install: the service runs and the shipped site answers.
    zvtest::RunResult run = RunSilently(ZV_SETUP_EXE);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    ASSERT_TRUE(zvtest::WaitForHttp(kShippedPort, 20000)) << FileText(kLog);
    EXPECT_EQ(200, zvtest::HttpGet(kShippedPort, "/").status);
    ExpectEntry();
    EXPECT_EQ(1, ProductEntries());

    // 2. The administrator moves the server to another port and adds a page.
    const std::string config = "; edited by the administrator\r\nDOC_ROOT=site\r\nPORT=18470\r\n";
    const std::string page = "<html><body>added by the administrator</body></html>\n";
    const std::string configPath = kServerFolder + "\\zorvaneis.cfg";
    const std::string pagePath = kServerFolder + "\\site\\added.html";
    ASSERT_TRUE(zvtest::WriteFileBytes(configPath, config));
    ASSERT_TRUE(zvtest::MakeFolders(kServerFolder + "\\site"));
    ASSERT_TRUE(zvtest::WriteFileBytes(pagePath, page));

    // 3. The same setup again: an upgrade in place that keeps both edits.
    run = RunSilently(ZV_SETUP_EXE);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(config, FileText(configPath));
    EXPECT_EQ(page, FileText(pagePath));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    // The service was stopped before its program was replaced.
    EXPECT_NE(std::string::npos, FileText(kLog).find("  ServiceMain: stopped"));
    ASSERT_TRUE(zvtest::WaitForHttp(kEditedPort, 20000)) << FileText(kLog);
    const zvtest::HttpReply reply = zvtest::HttpGet(kEditedPort, "/added.html");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ(page, reply.body);
    EXPECT_FALSE(zvtest::PortAccepts(kShippedPort));
    EXPECT_EQ(1, ProductEntries());

    // 4. Silent removal: service, programs and entry gone; log and page kept.
    zvtest::TempFolder temp("zvuninst");
    run = RunUninstallerSilently(temp);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(zvtest::WaitUntil([] { return ServiceState() == 0; }, 10000, 200));
    EXPECT_FALSE(zvtest::PortAccepts(kEditedPort));
    for (const std::string& gone : {kServiceFolder, kServerFolder + "\\zorvaneis.exe", kServerFolder + "\\halvix.dll"})
        EXPECT_FALSE(Exists(gone)) << gone;
    EXPECT_EQ(0, ProductEntries());
    EXPECT_FALSE(FileText(kLog).empty());
    EXPECT_EQ(page, FileText(pagePath));
}

TEST(Installer, FailsWhenDromletInstallFails)
{
    ASSERT_FALSE(Exists(kServiceFolder)) << "left installed by an earlier case";
    const zvtest::RunResult run = RunSilently(ZV_SETUP_WITHOUT_SERVICE_EXE);
    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(0u, run.exitCode);
    EXPECT_EQ(0u, ServiceState());

    // What was copied before the failure can be removed the usual way.
    EXPECT_EQ(1, ProductEntries());
    zvtest::TempFolder temp("zvuninst");
    EXPECT_EQ(0u, RunUninstallerSilently(temp).exitCode);
    EXPECT_EQ(0, ProductEntries());
    EXPECT_FALSE(Exists(kServiceFolder));
}

}  // namespace
