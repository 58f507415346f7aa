// The network side of the stand-in web server: a listener on every IPv4 and
// every IPv6 interface, one thread that waits for every connection's request head, and
// pool threads that send the replies.
#pragma once

// Every phase of a connection has a deadline for the whole phase, so that
// no client holds a connection for long however it trickles.
struct ServerLimits {
    unsigned long headTimeoutMs = 10000;          // the whole request head must arrive within this
    unsigned long sendTimeoutMs = 10000;          // for the whole reply, plus its size at the rate below
    unsigned long sendBytesPerSecond = 64 * 1024; // the slowest reader a large file is sent to
    unsigned long stallTimeoutMs = 10000;         // a reply the client takes no byte of for this long is closed
    // Once the first window has passed, a reply the client took less than
    // the floor's worth of over the last window is closed. A 1 Mbit/s link
    // carries about 115 KiB/s, well above the floor, even for two replies at
    // once; readers taking 64 KiB every 2 s (32 KiB/s) held every worker and
    // fall below it. Over a window, not since the start: socket buffers take
    // megabytes of a reply at once (README.md has the figures).
    unsigned long paceWindowMs = 10000;
    unsigned long paceFloorBytesPerSecond = 48 * 1024;
    unsigned long drainTimeoutMs = 2000;          // input after the reply is read and dropped this long
    unsigned long refuseTimeoutMs = 500;          // for a 503 over the limit (or 414/431) to reach its client
    // Connections waiting for their head cost a socket and a buffer, not a
    // thread, so many can wait; more get 503.
    int maxConnections = 1024;
    int maxWorkers = 64;  // replies being sent at the same time; a request beyond them gets 503
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
