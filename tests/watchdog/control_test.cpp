// The control handler driven in-process: Wine's ControlService refuses
// SERVICE_CONTROL_SHUTDOWN (error 87), so shutdown is sent here, beside
// stop and the controls that are only logged.
#include "service.h"

#include <gtest/gtest.h>

#include <string>

#include "monitor_run.h"
#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

TEST(ControlHandler, ShutdownEndsTheMonitorLikeStopOtherControlsOnlyLog)
{
    struct Case {
        DWORD control;
        bool stops;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_STOP, true},
        {SERVICE_CONTROL_SHUTDOWN, true},
        {SERVICE_CONTROL_INTERROGATE, false},
        {128, false},
    };
    zvtest::TempFolder folder("zvcontrol");
    wdtest::DeleteRecord();
    for (const Case& c : cases) {
        const std::string exe = wdtest::PlaceSleeper(folder.File(std::to_string(c.control)));
        ASSERT_TRUE(wdtest::SetServerExePath(zvtest::Widen(exe)));
        wdtest::LogWatch watch;
        wdtest::MonitorRun run(50, 4);
        ASSERT_TRUE(watch.WaitFor("Launched '" + exe + "' (PID=", 10000, 1, true)) << c.control;
        const DWORD checkPoint = NextCheckPoint;

        EXPECT_EQ(c.stops, run.Control(c.control, kWaitSliceMs)) << c.control;
        EXPECT_EQ(1u, watch.Count("CtrlHandler: code=" + std::to_string(c.control))) << c.control;
        EXPECT_EQ(c.stops ? checkPoint + 1 : checkPoint, NextCheckPoint) << c.control;
        EXPECT_EQ(!c.stops, KeepRunning.load()) << c.control;
        EXPECT_EQ(c.stops ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(run.Event(), 0))
            << c.control;
        EXPECT_EQ(c.stops ? 1u : 0u, watch.Count("TerminateProcess issued")) << c.control;
        EXPECT_EQ(c.stops ? 0u : 1u, zvtest::FindProcessesByImage(exe).size()) << c.control;
        ASSERT_TRUE(run.Stop()) << c.control;
        wdtest::KillAllFrom(exe);
    }
    wdtest::DeleteRecord();
}

}  // namespace
