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
constexpr char kServiceSid[] = "S-1-5-80-1141001183-3739899634-2345168976-2490466165-3019848349";

struct Event {
    DWORD id;
    std::vector<std::string> strings;
};
std::vector<Event> Events;

bool RecordEvent(WORD, DWORD id, const wchar_t* const* strings, WORD count)
{
    Events.push_back({id, {}});
    for (WORD i = 0; i < count; ++i)
        Events.back().strings.push_back(zvtest::Narrow(strings[i]));
    return true;
}

// The event's text as Event Viewer shows it, from the program's message table.
std::string Rendered(const Event& event)
{
    const HMODULE program = LoadLibraryExA(zvtest::HostPath(ZV_WATCHDOG_EXE).c_str(), nullptr,
                                           LOAD_LIBRARY_AS_DATAFILE);
    std::vector<char*> strings;
    for (const std::string& s : event.strings)
        strings.push_back(const_cast<char*>(s.c_str()));
    char text[2048] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, event.id, 0, text,
                   sizeof text, reinterpret_cast<va_list*>(strings.data()));
    FreeLibrary(program);
    return text;
}

std::string TempLogFolder()
{
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    return std::string(temp, length) + "ZorvaneService";
}

void RestoreProgramData()
{
    if (GetFileAttributesA(kAside) != INVALID_FILE_ATTRIBUTES) {
        zvtest::RemoveTree(kProgramData);
        MoveFileA(kAside, kProgramData);
    }
}

struct StartCase {
    const char* name;
    bool lesser;
    bool holdsServiceSid;
    std::function<bool()> prepare;
    const char* why;  // the first line's reason; empty: ProgramData is used
    DWORD event;      // 0: none
    const char* rendered;
};

const StartCase kStartCases[] = {
    {"Healthy", false, false, [] { return true; }, "", 0, ""},
    {"NoProgramData", false, false, [] { return MoveFileA(kProgramData, kAside) != FALSE; },
     "SHGetKnownFolderPath failed rc=", MSG_LOG_FELL_BACK,
     "The service cannot write its log under ProgramData: SHGetKnownFolderPath failed rc="},
    // A hard link is never written through, and is no fault of the account.
    {"LogIsAHardLink", false, false,
     [] {
         zvtest::WriteFileBytes("C:\\zvvictim.txt", "x");
         return zvtest::MakeFolders(kLogFolder) &&
                CreateHardLinkA((std::string(kLogFolder) + "\\service.log").c_str(), "C:\\zvvictim.txt", nullptr);
     },
     "C:\\ProgramData\\Tovimar\\ZorvaneService\\service.log cannot be written (err=", MSG_LOG_FELL_BACK, ""},
    // Wine keeps no DACL, so a lesser account's own temporary log fails its
    // check there too: no log at all, which the event says.
    {"LesserAccountWithoutServiceSid", true, false, [] { return zvtest::MakeFolders(kLogFolder); },
     "the service SID NT SERVICE\\ZorvaneISSvc is missing from the token", MSG_LOG_UNUSABLE,
     "The service cannot write its log anywhere: the service SID NT SERVICE\\ZorvaneISSvc is missing"},
    {"LesserAccountWithoutLogFolder", true, true,
     [] {
         zvtest::RemoveTree("C:\\ProgramData\\Tovimar");
         return true;
     },
     "C:\\ProgramData\\Tovimar\\ZorvaneService is missing (Dromlet install prepares it)", MSG_LOG_UNUSABLE, ""},
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class LogStart : public ::testing::TestWithParam<StartCase> {
protected:
    void SetUp() override
    {
        RestoreProgramData();
        zvtest::RemoveTree(TempLogFolder());
        zvtest::RemoveTree(kLogFolder);
        g_writeEvent = RecordEvent;
    }
    void TearDown() override
    {
        RestoreProgramData();
        zvtest::RemoveTree(kLogFolder);
        DeleteFileA("C:\\zvvictim.txt");
    }
};

TEST_P(LogStart, FirstLineSaysWhyTheLogIsInTheTemporaryFolder)
{
    const StartCase& c = GetParam();
    ASSERT_TRUE(c.prepare());
    const DWORD folderBefore = GetFileAttributesA(kLogFolder);
    g_isServiceAccount = [](PSID) { return GetParam().lesser; };
    g_holdsServiceSid = [](PSID sid) {
        LPSTR text = nullptr;
        const bool asked = ConvertSidToStringSidA(sid, &text) && std::string(text) == kServiceSid;
        LocalFree(text);
        return asked && GetParam().holdsServiceSid;
    };
    const std::wstring marker = L"start line " + std::to_wstring(GetTickCount());
    WriteLog(L"%s", marker.c_str());
    WriteLog(L"%s", marker.c_str());

    std::string temp;
    const bool inTemp = zvtest::ReadFileBytes(TempLogFolder() + "\\service.log", temp);
    std::string programData;
    zvtest::ReadFileBytes(std::string(kLogFolder) + "\\service.log", programData);
    const std::string line = wdtest::Utf8(marker) + "\r\n";
    if (c.why[0] == '\0') {
        EXPECT_FALSE(inTemp) << temp;
        EXPECT_EQ(2 * (wdtest::kLinePrefixLength + line.size()), programData.size()) << programData;
    } else if (c.event == MSG_LOG_FELL_BACK) {
        const std::string first = "Log kept in the temporary folder: " + std::string(c.why);
        ASSERT_GT(temp.size(), wdtest::kLinePrefixLength + first.size()) << temp;
        EXPECT_EQ(first, temp.substr(wdtest::kLinePrefixLength, first.size())) << temp;
        EXPECT_EQ(line, temp.substr(temp.size() - line.size())) << temp;
        EXPECT_EQ(std::string::npos, programData.find(wdtest::Utf8(marker))) << programData;
        EXPECT_EQ(0, lstrcmpiW(zvtest::Widen(TempLogFolder()).c_str(), GetLogFolder().c_str()));
    } else {
        EXPECT_EQ(std::string::npos, (temp + programData).find(wdtest::Utf8(marker))) << temp << programData;
    }
    // A lesser account makes nothing under ProgramData.
    if (c.lesser) {
        EXPECT_EQ(folderBefore, GetFileAttributesA(kLogFolder));
    }

    if (c.event == 0) {
        EXPECT_TRUE(Events.empty());
        return;
    }
    ASSERT_FALSE(Events.empty());
    EXPECT_EQ(c.event, Events[0].id);
    EXPECT_EQ(0u, Events[0].strings[0].find(c.why)) << Events[0].strings[0];
    EXPECT_EQ(0u, Rendered(Events[0]).find(c.rendered)) << Rendered(Events[0]);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogStart, ::testing::ValuesIn(kStartCases),
                         [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

ULONGLONG FakeNow = 0;

TEST(LogTroubleEvents, AtMostOneEventPerCauseAnHourWithTheLinesHeldBack)
{
    g_writeEvent = RecordEvent;
    g_eventClockMs = [] { return FakeNow; };
    const ULONGLONG minute = 60 * 1000;
    const struct {
        ULONGLONG at;
        LogTrouble cause;
        DWORD lines;
        const char* written;  // the count in the event; null: none
    } steps[] = {
        {5 * minute, LogTrouble::LinesLost, 1, "1"},
        {6 * minute, LogTrouble::LinesLost, 2, nullptr},
        {7 * minute, LogTrouble::FellBack, 0, "0"},
        {64 * minute, LogTrouble::LinesLost, 4, nullptr},
        {65 * minute, LogTrouble::LinesLost, 1, "7"},
        {66 * minute, LogTrouble::FellBack, 0, nullptr},
        {67 * minute, LogTrouble::FellBack, 0, "0"},
    };
    for (const auto& step : steps) {
        FakeNow = step.at;
        Events.clear();
        ReportLogTrouble(step.cause, L"why", L"where", step.lines);
        ASSERT_EQ(step.written != nullptr ? 1u : 0u, Events.size()) << step.at / minute;
        if (step.written != nullptr) {
            EXPECT_EQ(step.written, Events[0].strings[2]) << step.at / minute;
        }
    }
}

// Run by the test watchdog_event_trace alone, with Wine's eventlog debug
// channel on: the real event, whose strings the channel shows.
TEST(LogTroubleEvents, DISABLED_RealEvent)
{
    ReportLogTrouble(LogTrouble::LinesLost, L"err=32", L"C:\\x\\service.log", 3);
}

}  // namespace
