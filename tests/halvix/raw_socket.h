// A bare TCP socket on loopback, for clients and port holders that do not
// behave like a plain HTTP exchange.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

class RawSocket {
public:
    RawSocket();
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // A `receiveBufferBytes` above 0 shrinks what the connection takes in
    // unread, so that the server's sends stall soon.
    bool Connect(int port, int receiveBufferBytes = 0);
    // Binds every IPv4 interface at `port` and listens.
    bool Listen(int port, bool reuseAddress);
    bool Send(const std::string& bytes);
    // Waits up to `timeoutMs` for the peer to close; what arrived meanwhile
    // goes to `received`. True when the peer closed or reset the connection.
    bool WaitForClose(DWORD timeoutMs, std::string& received);

private:
    SOCKET socket_ = INVALID_SOCKET;
};
