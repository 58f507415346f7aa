// A bare TCP socket on loopback, for clients and port holders that do not
// behave like a plain HTTP exchange.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>

class RawSocket {
public:
    // AF_INET or AF_INET6: the family of the addresses it connects to and binds.
    explicit RawSocket(int family = AF_INET);
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // A `receiveBufferBytes` above 0 shrinks what the connection takes in
    // unread, so that the server's sends stall soon.
    bool Connect(int port, int receiveBufferBytes = 0);
    // Binds its family's wildcard (or loopback) address at `port` and listens.
    bool Listen(int port, bool reuseAddress, bool loopbackOnly = false);
    bool Send(const std::string& bytes);
    // Waits up to `timeoutMs` for the peer to close; what arrived meanwhile
    // goes to `received`. True when the peer closed or reset the connection.
    bool WaitForClose(DWORD timeoutMs, std::string& received);
    // Reads up to `bytes`, until the peer closes or sends nothing for `timeoutMs`.
    size_t Receive(size_t bytes, DWORD timeoutMs);

private:
    int family_;
    SOCKET socket_ = INVALID_SOCKET;
};
