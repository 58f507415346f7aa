// zorvaneis: reads its configuration, starts the web server in halvix.dll and
// keeps the process alive for as long as the server is to run.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "config.h"
#include "halvix.h"
#include "startup.h"

namespace {
constexpr char kLibraryName[] = "halvix.dll";
}

int main(int argc, char** argv)
{
    // Messages end in a bare "\n", byte for byte, not in the text mode's CR LF.
    _setmode(_fileno(stderr), _O_BINARY);

    // The loader has mapped the library already (the class is imported); the
    // load by name comes first anyway and takes a reference of our own.
    HMODULE library = LoadLibraryA(kLibraryName);
    if (library == nullptr) {
        std::fprintf(stderr, "Could not load %s\n", kLibraryName);
        return 1;
    }

    char modulePath[kModulePathSize];
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, kModulePathSize - 1);
    modulePath[length < kModulePathSize ? length : kModulePathSize - 1] = '\0';

    char baseDir[kBaseDirSize];
    FindBaseDir(modulePath, baseDir);
    char configPath[kConfigPathSize];
    BuildDefaultConfigPath(baseDir, configPath);
    ApplyCommandLine(argc, argv, configPath);

    LauncherConfig config;
    config.port = kDefaultPort;
    config.enableIsapi = 1;
    LoadLauncherConfig(configPath, baseDir, config);

    ZorvaneWebHelper server;
    const int port = config.port;
    if (server.StartWebServer(config.docRoot, port, config.optionText, config.enableIsapi) != 0) {
        std::fprintf(stderr, "Failed to start server (docroot=%s, port=%d).\n", config.docRoot, port);
        // The destructor runs after this, on return; the import binding keeps
        // the library mapped for it.
        FreeLibrary(library);
        return 3;
    }

    // The server runs on the library's threads; this process only stays alive
    // until it is terminated from outside.
    Sleep(INFINITE);
    return 0;
}
