// The log without a ProgramData folder: lines go to ZorvaneService under the
// temporary folder. Runs in a Wine prefix of its own, whose ProgramData it
// moves aside for the test.
#include "log.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

constexpr char kProgramData[] = "C:\\ProgramData";
constexpr char kAside[] = "C:\\ProgramData.zvaside";

class NoProgramData : public ::testing::Test {
protected:
    void SetUp() override
    {
        Restore();
        ASSERT_TRUE(MoveFileA(kProgramData, kAside)) << GetLastError();
    }
    void TearDown() override { Restore(); }
    static void Restore()
    {
        if (GetFileAttributesA(kAside) != INVALID_FILE_ATTRIBUTES)
            MoveFileA(kAside, kProgramData);
    }
};

TEST_F(NoProgramData, LinesGoToZorvaneServiceUnderTheTemporaryFolder)
{
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    ASSERT_GT(length, 0u);
    const std::string folder = std::string(temp, length) + "ZorvaneService";
    zvtest::RemoveTree(folder);

    const std::wstring marker = L"fallback line " + std::to_wstring(GetTickCount());
    WriteLog(L"%s", marker.c_str());
    EXPECT_EQ(0, lstrcmpiW(zvtest::Widen(folder).c_str(), GetLogFolder().c_str()));
    std::string bytes;
    ASSERT_TRUE(zvtest::ReadFileBytes(folder + "\\service.log", bytes));
    ASSERT_EQ(wdtest::kLinePrefixLength + marker.size() + 2, bytes.size());
    EXPECT_EQ(wdtest::Utf8(marker) + "\r\n", bytes.substr(wdtest::kLinePrefixLength));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(kProgramData));
    zvtest::RemoveTree(folder);
}

}  // namespace
