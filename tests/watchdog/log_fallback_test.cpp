// Where the log goes when it cannot be written under ProgramData, and the
// events that say so. Runs in a Wine prefix of its own, whose ProgramData it
// moves aside or changes; each case is a process of its own, whose first
// line decides.
#include "log.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "event_log.h"
#include "event_messages.h"
#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

constexpr char kProgramData[] = "C:\\ProgramData";
constexpr char kAside[] = "C:\\ProgramData.zvaside";
constexpr char kLogFolder[] = "C:\\ProgramData\\Tovimar\\ZorvaneService";

struct Event {
    DWORD id;
    std::string text;
};
std::vector<Event> Events;

// Kept as Event Viewer shows it, from the program's message table.
bool RecordEvent(WORD, DWORD id, const wchar_t* const* strings, WORD)
{
    static const HMODULE program =
        LoadLibraryExA(zvtest::HostPath(ZV_WATCHDOG_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    wchar_t text[2048] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, id, 0, text, 2048,
                   reinterpret_cast<va_list*>(const_cast<wchar_t**>(strings)));
    Events.push_back({id, zvtest::Narrow(text)});
    return true;
}

std::string TempLogFolder()
{
    char temp[MAX_PATH];
    return std::string(temp, GetTempPathA(MAX_PATH, temp)) + "ZorvaneService";
}

// The messages of a log file, without their time.
std::vector<std::string> Messages(const std::string& file)
{
    std::string bytes;
    zvtest::ReadFileBytes(file, bytes);
    std::vector<std::string> messages;
    for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        messages.push_back(bytes.substr(start + wdtest::kLinePrefixLength, end - start - wdtest::kLinePrefixLength));
    return messages;
}

struct StartCase {
    const char* name;
    bool lesser;
    bool holdsServiceSid;
    std::function<bool()> prepare;
    DWORD event;      // 0: none, and the line is under ProgramData
    const char* why;  // how the first line in the temporary folder and the event begin
};

const StartCase kStartCases[] = {
    {"Healthy", false, false, [] { return true; }, 0, ""},
    {"NoProgramData", false, false, [] { return MoveFileA(kProgramData, kAside) != FALSE; }, MSG_LOG_FELL_BACK,
     "SHGetKnownFolderPath failed rc="},
    // A hard link is never written through.
    {"LogIsAHardLink", false, false,
     [] {
         return zvtest::WriteFileBytes("C:\\zvvictim.txt", "x") && zvtest::MakeFolders(kLogFolder) &&
                CreateHardLinkA((std::string(kLogFolder) + "\\service.log").c_str(), "C:\\zvvictim.txt", nullptr);
     },
     MSG_LOG_FELL_BACK, "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log cannot be written (err="},
    // Wine keeps no DACL, so a lesser account's own temporary log fails its
    // check there too: no log at all, which the event says.
    {"LesserAccountWithoutServiceSid", true, false, [] { return zvtest::MakeFolders(kLogFolder); }, MSG_LOG_UNUSABLE,
     "the service SID NT SERVICE\\ZorvaneISSvc is missing from the token"},
    {"LesserAccountWithoutLogFolder", true, true, [] { return true; }, MSG_LOG_UNUSABLE,
     "C:\\ProgramData\\Tovimar\\ZorvaneService is missing (Dromlet install prepares it)"},
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class LogStart : public ::testing::TestWithParam<StartCase> {
protected:
    void SetUp() override
    {
        TearDown();
        zvtest::RemoveTree(TempLogFolder());
        g_writeEvent = RecordEvent;
    }
    void TearDown() override
    {
        if (GetFileAttributesA(kAside) != INVALID_FILE_ATTRIBUTES)
            MoveFileA(kAside, kProgramData);
        zvtest::RemoveTree("C:\\ProgramData\\Tovimar");
        DeleteFileA("C:\\zvvictim.txt");
    }
};

TEST_P(LogStart, FirstLineSaysWhyTheLogIsKeptInTheTemporaryFolder)
{
    const StartCase& c = GetParam();
    ASSERT_TRUE(c.prepare());
    const DWORD folderBefore = GetFileAttributesA(kLogFolder);
    g_isServiceAccount = [](PSID) { return GetParam().lesser; };
    g_holdsServiceSid = [](PSID sid) {
        std::vector<BYTE> asked = zvtest::SidBytes(ServiceSidText(L"ZorvaneISSvc"));
        return EqualSid(sid, asked.data()) && GetParam().holdsServiceSid;
    };
    WriteLog(L"first");

    const std::vector<std::string> temp = Messages(TempLogFolder() + "\\service.log");
    const std::vector<std::string> programData = Messages(std::string(kLogFolder) + "\\service.log");
    EXPECT_EQ(c.event == 0, programData == std::vector<std::string>{"first"});
    if (c.event == MSG_LOG_FELL_BACK) {
        ASSERT_EQ(2u, temp.size());
        EXPECT_EQ(0u, temp[0].find(std::string("Log kept in the temporary folder: ") + c.why)) << temp[0];
        EXPECT_EQ("first", temp[1]);
        EXPECT_EQ(0, lstrcmpiW(zvtest::Widen(TempLogFolder()).c_str(), GetLogFolder().c_str()));
    } else {
        EXPECT_TRUE(temp.empty());
    }
    // A lesser account makes nothing under ProgramData.
    EXPECT_TRUE(!c.lesser || folderBefore == GetFileAttributesA(kLogFolder));
    // Without any log, the line itself is lost as well: a second event.
    ASSERT_EQ(c.event == 0 ? 0u : c.event == MSG_LOG_UNUSABLE ? 2u : 1u, Events.size());
    if (c.event != 0) {
        EXPECT_EQ(c.event, Events[0].id);
        const char* opening = c.event == MSG_LOG_FELL_BACK ? "The service cannot write its log under ProgramData: "
                                                           : "The service cannot write its log anywhere: ";
        EXPECT_EQ(0u, Events[0].text.find(opening + std::string(c.why))) << Events[0].text;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LogStart, ::testing::ValuesIn(kStartCases),
                         [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST(LogTroubleEvents, AtMostOneEventPerCauseAnHourWithTheLinesHeldBack)
{
    static ULONGLONG now = 0;
    g_writeEvent = RecordEvent;
    g_eventClockMs = [] { return now; };
    const ULONGLONG minute = 60 * 1000;
    const struct {
        ULONGLONG at;
        LogTrouble cause;
        DWORD lines;
        const char* event;  // its opening; null: none
    } steps[] = {
        {5, LogTrouble::LinesLost, 1, "1 lines could not be written to the service log C:\\x (err=5)."},
        {6, LogTrouble::LinesLost, 2, nullptr},
        {7, LogTrouble::FellBack, 0, "The service cannot write its log under ProgramData: err=5."},
        {64, LogTrouble::LinesLost, 4, nullptr},
        {65, LogTrouble::LinesLost, 1, "7 lines"},
        {66, LogTrouble::FellBack, 0, nullptr},
        {67, LogTrouble::FellBack, 0, "The service"},
    };
    for (const auto& step : steps) {
        now = step.at * minute;
        Events.clear();
        ReportLogTrouble(step.cause, L"err=5", L"C:\\x", step.lines);
        ASSERT_EQ(step.event != nullptr ? 1u : 0u, Events.size()) << step.at;
        if (step.event != nullptr) {
            EXPECT_EQ(0u, Events[0].text.find(step.event)) << Events[0].text;
        }
    }
}

// Run alone by the test watchdog_event_trace, with Wine's eventlog debug
// channel on: the real event, whose strings the channel shows.
TEST(LogTroubleEvents, DISABLED_RealEvent)
{
    ReportLogTrouble(LogTrouble::LinesLost, L"err=32", L"C:\\x\\service.log", 3);
}

}  // namespace
