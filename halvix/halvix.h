// The web-server library's class as its callers see it. halvix/ is a small
// stand-in for the vendor's library with the same class and members.
#pragma once

#ifdef HALVIX_BUILD
#define HALVIX_API __declspec(dllexport)
#else
#define HALVIX_API __declspec(dllimport)
#endif

class HALVIX_API ZorvaneWebHelper {
public:
    ZorvaneWebHelper();
    ~ZorvaneWebHelper();
    ZorvaneWebHelper(const ZorvaneWebHelper&) = delete;
    ZorvaneWebHelper& operator=(const ZorvaneWebHelper&) = delete;

    // 0 once the server listens on `port` and serves `docRoot` on its own
    // threads; any other value when it cannot start.
    int StartWebServer(char* docRoot, int port, char* optionText, int& enableIsapi);

private:
    void* server_;  // the running server, owned by the library
};
