// halvix.dll: stands in for the vendor's web-server library of the same name,
// with the same class as the launcher sees it. It serves static files only;
// the option text and the ISAPI setting are accepted and left untouched.
#include "halvix.h"

#include "server.h"

ZorvaneWebHelper::ZorvaneWebHelper() : server_(nullptr) {}

// A started server is left running: it serves for the rest of the process on
// its own threads, which hold its state, not this object. Before a start, or
// after a failed one, there is nothing to release.
ZorvaneWebHelper::~ZorvaneWebHelper() {}

int ZorvaneWebHelper::StartWebServer(char* docRoot, int port, char* /*optionText*/, int& /*enableIsapi*/)
{
    if (server_ != nullptr)
        return kAlreadyStarted;
    Server* server = nullptr;
    const int status = StartServer(docRoot, port, ServerLimits(), server);
    server_ = server;
    return status;
}
