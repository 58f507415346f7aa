// The network side of the stand-in web server: a listener on every IPv4
// interface and one thread for each connection.
#pragma once

struct ServerLimits {
    unsigned long headTimeoutMs = 10000;  // the whole request head must arrive within this
    unsigned long sendTimeoutMs = 30000;  // for each send to a client that does not read
    int maxConnections = 64;              // served at the same time; more are closed at once
};

enum StartStatus : int {
    kStarted = 0,
    kBadPort = 1,
    kBadDocRoot = 2,
    kListenFailed = 3,  // Winsock, or the port is taken
    kNoThread = 4,
    kAlreadyStarted = 5,
};

struct Server;

// Serves the files below `docRoot` at `port` on threads of its own and sets
// `server` when it returns kStarted; the server then runs for the rest of
// the process.
int StartServer(const char* docRoot, int port, const ServerLimits& limits, Server*& server);
