// zorvaneissvc: the watchdog service ZorvaneISSvc. It runs only under the
// service control manager and takes no options.
#include <windows.h>

#include "log.h"
#include "service.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    PrepareWatchdogProcess();
    WriteLog(L"Process start. CmdLine: %s", GetCommandLineW());
    DWORD error = 0;
    if (!RunServiceDispatcher(error))
        WriteLog(L"StartServiceCtrlDispatcher failed: %lu", error);
    return 0;
}
