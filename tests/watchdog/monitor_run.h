// The monitor loop run in the test process on its own thread, with a stop
// event of its own, and stopped through the service's control handler.
#pragma once

#include <windows.h>

#include "monitor.h"
#include "scoped_handle.h"
#include "service.h"

namespace wdtest {

class MonitorRun {
public:
    // sliceMs 0: the thread procedure MonitorThread itself, with its own timing.
    MonitorRun(DWORD sliceMs, unsigned slicesPerCycle, bool stopAlreadySignalled = false)
        : timing_{sliceMs, slicesPerCycle}
    {
        stopEvent_.reset(CreateEventW(nullptr, TRUE, stopAlreadySignalled, nullptr));
        StopEvent = stopEvent_.get();
        thread_.reset(CreateThread(nullptr, 0, sliceMs == 0 ? MonitorThread : RunLoop, &timing_, 0, nullptr));
    }
    ~MonitorRun()
    {
        if (thread_ && !Ended(0)) {
            CtrlHandler(SERVICE_CONTROL_STOP);
            WaitForSingleObject(thread_.get(), INFINITE);
        }
        StopEvent = nullptr;
    }
    MonitorRun(const MonitorRun&) = delete;
    MonitorRun& operator=(const MonitorRun&) = delete;

    bool Started() const { return thread_.valid(); }
    // Sends `control` as the service control manager would; true when the
    // thread has ended within `withinMs` afterwards.
    bool Control(DWORD control, DWORD withinMs)
    {
        CtrlHandler(control);
        return Ended(withinMs);
    }
    bool Stop(DWORD withinMs = 5000) { return Control(SERVICE_CONTROL_STOP, withinMs); }
    bool Ended(DWORD withinMs) const { return WaitForSingleObject(thread_.get(), withinMs) == WAIT_OBJECT_0; }
    HANDLE Event() const { return stopEvent_.get(); }

private:
    struct Timing {
        DWORD sliceMs;
        unsigned slicesPerCycle;
    };
    static DWORD WINAPI RunLoop(LPVOID parameter)
    {
        const Timing* timing = static_cast<const Timing*>(parameter);
        RunMonitorLoop(timing->sliceMs, timing->slicesPerCycle);
        return 0;
    }

    Timing timing_;
    ScopedHandle stopEvent_;
    ScopedHandle thread_;
};

}  // namespace wdtest
