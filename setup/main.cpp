// Dromlet: installs, starts, stops and removes the watchdog service.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "control.h"
#include "install.h"
#include "options.h"
#include "status.h"

namespace {

int RunInstall(int argc, char** argv)
{
    SetupOptions options;
    options.verb = argv[1];
    if (!FillBuiltInSettings(options))
        return 1;
    std::string problem;
    if (!ParseInstallArguments(argc - 2, argv + 2, options, problem)) {
        WriteError(problem + "\n");
        WriteUsage();
        return 2;
    }
    if (!InstallService(options))
        return 1;
    // After the record, before the start: the watchdog reads them from its first cycle.
    if (!WriteRecordChanges(options.recordChanges, problem)) {
        WriteError(problem);
        return 1;
    }
    if (options.startAfterInstall && !StartServiceAndWait(options.serviceName)) {
        WriteError("Service installed but failed to start (see Event Log).\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The texts carry their own line ends: the system's messages end in CR LF
    // already, and the usage text is LF only.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    const SetupVerb verb = argc < 2 ? SetupVerb::None : FindVerb(argv[1]);
    switch (verb) {
    case SetupVerb::Install:
        return RunInstall(argc, argv);
    case SetupVerb::Start:
        return StartServiceAndWait(kServiceName) ? 0 : 1;
    case SetupVerb::Stop:
        return StopServiceAndWait(kStopVerbLimitMs) ? 0 : 1;
    case SetupVerb::Uninstall:
        return UninstallService();
    case SetupVerb::Release: {
        SetupOptions builtIn;
        if (!FillBuiltInSettings(builtIn))
            return 1;
        return ReleaseProgramFiles(builtIn.serverExePath);
    }
    case SetupVerb::Status:
        return ShowStatus();
    case SetupVerb::None:
        break;
    }
    WriteUsage();
    return 2;
}
