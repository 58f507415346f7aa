// The setup tool's pure parts: the words after "install", quoting, the extra
// service records and the error line; and the usage text of the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected_usage.h"
#include "install.h"
#include "options.h"
#include "security_descriptor.h"
#include "status.h"
#include "testsupport.h"

namespace {

struct ParseResult {
    bool ok;
    SetupOptions options;
    std::string problem;
};

ParseResult ParseInstall(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    ParseResult result;
    FillBuiltInSettings(result.options);
    result.ok = ParseInstallArguments(static_cast<int>(argv.size()), argv.data(), result.options, result.problem);
    return result;
}

TEST(SetupCommandLine, InstallWordsReplaceBuiltInSettings)
{
    SetupOptions builtIn;
    FillBuiltInSettings(builtIn);
    const struct {
        std::vector<std::string> words;
        std::string contentRoot;
        std::string serviceExePath;
        std::string displayName;
    } cases[] = {
        {{}, builtIn.contentRoot, builtIn.serviceExePath, builtIn.displayName},
        {{"D:\\web"}, "D:\\web", builtIn.serviceExePath, builtIn.displayName},
        {{"\"D:\\web\"", "D:\\svc.exe"}, "\"D:\\web\"", "D:\\svc.exe", builtIn.displayName},
        {{"", "D:\\svc.exe"}, "", "D:\\svc.exe", builtIn.displayName},
        {{"--display", "Other Name", "D:\\web"}, "D:\\web", builtIn.serviceExePath, "Other Name"},
        {{"D:\\web", "--START", "D:\\svc.exe", "--Display", ""}, "D:\\web", "D:\\svc.exe", ""},
        {{"--name", "ZorvaneISSvc", "--start"}, builtIn.contentRoot, builtIn.serviceExePath, builtIn.displayName},
        {{"--name", "zorvaneissvc", "D:\\web"}, "D:\\web", builtIn.serviceExePath, builtIn.displayName},
    };
    for (const auto& c : cases) {
        const ParseResult r = ParseInstall(c.words);
        const std::string label = ::testing::PrintToString(c.words);
        ASSERT_TRUE(r.ok) << label << ": " << r.problem;
        EXPECT_EQ(c.contentRoot, r.options.contentRoot) << label;
        EXPECT_EQ(c.serviceExePath, r.options.serviceExePath) << label;
        EXPECT_EQ(c.displayName, r.options.displayName) << label;
        EXPECT_EQ(builtIn.serverExePath, r.options.serverExePath) << label;
        EXPECT_EQ("ZorvaneISSvc", r.options.serviceName) << label;
        EXPECT_TRUE(r.options.startAfterInstall) << label;
    }
}

// The record's values that the words ask for, as "Name=value" or "-Name".
std::string Rendered(const RecordChanges& changes)
{
    std::string text;
    for (const RecordValueChange& change : changes) {
        text += text.empty() ? "" : " ";
        const std::string name = NarrowText(change.name, CP_ACP);
        if (change.remove)
            text += "-" + name;
        else
            text += name + "=" + (change.text ? NarrowText(change.textValue, CP_ACP) : std::to_string(change.number));
    }
    return text;
}

TEST(SetupCommandLine, RecordWordsAreJudgedAsTheWatchdogJudges)
{
    const struct {
        std::vector<std::string> words;
        std::string written;  // or the problem
        bool ok;
    } cases[] = {
        {{"--relaunch-on-exit", "on", "--health-check", "http://127.0.0.1:1465/", "--health-max-status", "599",
          "--log-max-mb", "10", "--log-keep", "5", "--account", "localservice"},
         "RelaunchOnExit=1 HealthCheckUrl=http://127.0.0.1:1465/ HealthCheckMaxStatus=599 LogMaxSizeMB=10 "
         "LogKeepFiles=5",
         true},
        {{"--RELAUNCH-ON-EXIT", "Off", "--log-max-mb", "OFF"}, "-RelaunchOnExit -LogMaxSizeMB", true},
        {{"--health-check", "off"},
         "-HealthCheckUrl -HealthCheckIntervalSeconds -HealthCheckFailures -HealthCheckMaxStatus", true},
        {{"--health-interval", "1", "--health-failures", "100", "--health-check", "https://example.test:8443/a?b=1",
          "--health-interval", "3600"},
         "HealthCheckIntervalSeconds=1 HealthCheckFailures=100 HealthCheckUrl=https://example.test:8443/a?b=1 "
         "HealthCheckIntervalSeconds=3600",
         true},
        {{"--relaunch-on-exit", "yes"}, "install: --relaunch-on-exit takes on or off, not yes", false},
        {{"--health-check", "ftp://127.0.0.1/"},
         "install: --health-check takes an http:// or https:// URL with a host, or off, not ftp://127.0.0.1/", false},
        {{"--health-check", "http://"},
         "install: --health-check takes an http:// or https:// URL with a host, or off, not http://", false},
        {{"--health-interval", "0"}, "install: --health-interval takes seconds, 1 to 3600, not 0", false},
        {{"--log-max-mb", "4294967297"}, "install: --log-max-mb takes megabytes, 1 to 4096, or off, not 4294967297",
         false},
        {{"--log-keep", "5 "}, "install: --log-keep takes a count of files, 1 to 99, not 5 ", false},
        {{"--log-keep"}, "install: missing value after --log-keep (a count of files, 1 to 99)", false},
        {{"--health-failures", "2", "--health-check", "off"},
         "install: --health-failures cannot go with --health-check off", false},
    };
    for (const auto& c : cases) {
        const ParseResult r = ParseInstall(c.words);
        const std::string label = ::testing::PrintToString(c.words);
        EXPECT_EQ(c.ok, r.ok) << label;
        EXPECT_EQ(c.written, c.ok ? Rendered(r.options.recordChanges) : r.problem) << label;
    }
    EXPECT_EQ(FindServiceAccount("LocalService"), ParseInstall(cases[0].words).options.account);
}

TEST(SetupInstall, QuoteArgument)
{
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"", "\"\""},
        {"C:\\svc\\zorvaneissvc.exe", "C:\\svc\\zorvaneissvc.exe"},
        {"C:\\web\\", "C:\\web\\"},
        {"a\tb", "a\tb"},
        {" ", "\" \""},
        {"C:\\Program Files\\zorvaneis\\", "\"C:\\Program Files\\zorvaneis\\\""},
        {"C:\\a\"b", "\"C:\\a\\\"b\""},
        {"\"", "\"\\\"\""},
        {"\"quoted\"", "\"\\\"quoted\\\"\""},
        {"a\\\\ b", "\"a\\\\ b\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.quoted, QuoteArgument(c.text)) << '[' << c.text << ']';
}

TEST(SetupInstall, StripEnclosingQuotes)
{
    const struct {
        const char* text;
        const char* stripped;
    } cases[] = {
        {"", ""},
        {"\"", "\""},
        {"\"\"", ""},
        {"\" \"", " "},
        {"\"C:\\Program Files\\zorvaneis\\\"", "C:\\Program Files\\zorvaneis\\"},
        {"\"\"C:\\x\"\"", "\"C:\\x\""},
        {"\"C:\\a\"b\"", "C:\\a\"b"},
        {"\"C:\\x", "\"C:\\x"},
        {"C:\\x\"", "C:\\x\""},
        {"C:\\x", "C:\\x"},
        {"  \"C:\\x\"  ", "  \"C:\\x\"  "},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        StripEnclosingQuotes(text);
        EXPECT_EQ(c.stripped, text) << '[' << c.text << ']';
    }
}

TEST(SetupInstall, ExtraServiceRecords)
{
    ServiceExtraConfig config;
    BuildServiceExtraConfig(config, false);
    ASSERT_NE(nullptr, config.descriptionInfo.lpDescription);
    EXPECT_STREQ("Installed by Dromlet", config.descriptionInfo.lpDescription);
    EXPECT_EQ(TRUE, config.delayedStart.fDelayedAutostart);

    const SERVICE_FAILURE_ACTIONSA& failure = config.failureActions;
    EXPECT_EQ(86400u, failure.dwResetPeriod);
    EXPECT_EQ(nullptr, failure.lpRebootMsg);
    EXPECT_EQ(nullptr, failure.lpCommand);
    ASSERT_EQ(3u, failure.cActions);
    ASSERT_EQ(config.actions, failure.lpsaActions);
    for (DWORD i = 0; i < failure.cActions; ++i) {
        EXPECT_EQ(SC_ACTION_RESTART, failure.lpsaActions[i].Type) << i;
        EXPECT_EQ(5000u, failure.lpsaActions[i].Delay) << i;
    }
    // LocalSystem keeps what the log's takeover enables.
    EXPECT_EQ(SERVICE_SID_TYPE_NONE, config.sidInfo.dwServiceSidType);
    const char localSystem[] = "SeChangeNotifyPrivilege\0SeTakeOwnershipPrivilege\0SeRestorePrivilege\0";
    EXPECT_EQ(std::string(localSystem, sizeof localSystem), std::string(config.privileges, sizeof localSystem));
    BuildServiceExtraConfig(config, true);
    EXPECT_EQ(SERVICE_SID_TYPE_UNRESTRICTED, config.sidInfo.dwServiceSidType);
    EXPECT_EQ(std::string("SeChangeNotifyPrivilege\0", 25), std::string(config.privileges, 25));
}

// Wine keeps neither a key's nor a service's DACL, so what they grant is
// checked on the descriptors themselves.
TEST(SetupInstall, RecordAndServiceAreChangedByAdministratorsOnly)
{
    const DWORD serviceQuery =
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE | READ_CONTROL;
    const DWORD systemDefault = serviceQuery | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                SERVICE_USER_DEFINED_CONTROL;
    const struct {
        const char* name;
        const wchar_t* sddl;
        bool protectedDacl;
        std::vector<zvtest::AllowedAce> allowed;
        std::string owner = "";  // the service keeps the one the manager gave it
    } cases[] = {
        {"registry record", kRecordKeySddl, true,
         {{zvtest::kSidSystem, KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE},
          {zvtest::kSidAdministrators, KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE},
          {zvtest::kSidUsers, KEY_READ, CONTAINER_INHERIT_ACE}},
         zvtest::kSidAdministrators},
        {"service", kServiceSddl, false,
         {{zvtest::kSidSystem, systemDefault, 0},
          {zvtest::kSidAdministrators, SERVICE_ALL_ACCESS, 0},
          {zvtest::kSidInteractive, serviceQuery & ~SERVICE_INTERROGATE, 0},
          {zvtest::kSidService, serviceQuery & ~SERVICE_INTERROGATE, 0}}},
    };
    for (const auto& c : cases) {
        const ScopedDescriptor descriptor(DescriptorFromSddl(c.sddl));
        ASSERT_TRUE(descriptor) << c.name;
        const zvtest::DaclView view = zvtest::ViewDacl(descriptor.get());
        EXPECT_EQ(c.owner, view.owner) << c.name;
        EXPECT_EQ(c.protectedDacl, view.protectedDacl) << c.name;
        EXPECT_EQ(0u, view.otherEntries) << c.name;
        EXPECT_TRUE(c.allowed == view.allowed) << c.name;
    }
    // Any user who may query the service may run status.
    EXPECT_EQ(kStatusServiceAccess, kStatusServiceAccess & serviceQuery & ~SERVICE_INTERROGATE);
}

TEST(SetupErrorLine, SystemTextUntrimmedThenLineFeed)
{
    const std::string line = ErrorLine("OpenSCManager: ", ERROR_ACCESS_DENIED);
    ASSERT_GT(line.size(), std::string("OpenSCManager: \r\n\n").size());
    EXPECT_EQ(0u, line.find("OpenSCManager: "));
    EXPECT_EQ("\r\n\n", line.substr(line.size() - 3));
    EXPECT_EQ(line.size() - 2, line.find('\n'));  // no line break inside the system's text
    EXPECT_EQ(std::string::npos, line.find('5'));  // the code itself is not written

    // A code that the system has no text for leaves the prefix alone.
    EXPECT_EQ("DeleteService: \n", ErrorLine("DeleteService: ", 0x2000F00Du));
}

// The program itself: no verb and words that name no verb show the usage.
TEST(SetupProgram, UsageForMissingOrUnknownVerb)
{
    const char* argumentLists[] = {"", " \"\"", " remove", " inst", " installs", " stopp", " uninstal",
                                   " --start", " /? stop"};
    const std::string program = zvtest::HostPath(ZV_DROMLET_EXE);
    for (const char* arguments : argumentLists) {
        const zvtest::RunResult r = zvtest::RunProgram("\"" + program + "\"" + arguments);
        EXPECT_EQ(2u, r.exitCode) << arguments;
        EXPECT_EQ(kExpectedUsage, r.out) << arguments;
        EXPECT_EQ("", r.err) << arguments;
    }
}

}  // namespace
