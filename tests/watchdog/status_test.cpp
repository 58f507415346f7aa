// The status records of a service's life: accepted controls, check points
// that count the pending reports, wait hints and exit codes.
#include "service.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusRecord, PendingReportsCountCheckPointsOthersAcceptStopAndShutdown)
{
    constexpr DWORD kStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    struct Case {
        DWORD state;
        DWORD exitCode;
        DWORD waitHint;
        DWORD accepted;
        DWORD checkPoint;
    };
    // A process's life: a start, a stop, a second stop control, a failed start.
    const Case cases[] = {
        {SERVICE_START_PENDING, 0, 3000, 0, 1},
        {SERVICE_RUNNING, 0, 0, kStopAndShutdown, 0},
        {SERVICE_STOP_PENDING, 0, 3000, kStopAndShutdown, 2},
        {SERVICE_STOP_PENDING, 0, 3000, kStopAndShutdown, 3},
        {SERVICE_STOPPED, 0, 0, kStopAndShutdown, 0},
        {SERVICE_START_PENDING, 0, 3000, 0, 4},
        {SERVICE_STOPPED, ERROR_NOT_ENOUGH_MEMORY, 0, kStopAndShutdown, 0},
    };
    ASSERT_EQ(1u, NextCheckPoint);
    for (const Case& c : cases) {
        const SERVICE_STATUS status = MakeStatus(c.state, c.exitCode, c.waitHint);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
        EXPECT_EQ(c.state, status.dwCurrentState);
        EXPECT_EQ(c.accepted, status.dwControlsAccepted) << c.state;
        EXPECT_EQ(c.exitCode, status.dwWin32ExitCode) << c.state;
        EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
        EXPECT_EQ(c.checkPoint, status.dwCheckPoint) << c.state;
        EXPECT_EQ(c.waitHint, status.dwWaitHint) << c.state;
    }
}

}  // namespace
