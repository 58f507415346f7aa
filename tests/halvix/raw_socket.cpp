// A bare TCP socket on loopback for the server tests.
#include "raw_socket.h"

#include <algorithm>

namespace {

// The loopback or the wildcard address of `family` at `port`.
int Address(int family, bool loopback, int port, sockaddr_storage& address)
{
    address = {};
    if (family == AF_INET6) {
        sockaddr_in6& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<u_short>(port));
        in6.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
        return sizeof in6;
    }
    sockaddr_in& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<u_short>(port));
    in.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    return sizeof in;
}

}  // namespace

RawSocket::RawSocket(int family) : family_(family)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(family, SOCK_STREAM, IPPROTO_TCP);
}

RawSocket::~RawSocket()
{
    if (socket_ != INVALID_SOCKET)
        closesocket(socket_);
    WSACleanup();
}

bool RawSocket::Connect(int port, int receiveBufferBytes)
{
    if (receiveBufferBytes > 0)
        setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBufferBytes),
                   sizeof receiveBufferBytes);
    sockaddr_storage address;
    const int length = Address(family_, true, port, address);
    return connect(socket_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

bool RawSocket::Listen(int port, bool reuseAddress, bool loopbackOnly)
{
    const BOOL on = TRUE;
    if (reuseAddress)
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_storage address;
    const int length = Address(family_, loopbackOnly, port, address);
    return bind(socket_, reinterpret_cast<const sockaddr*>(&address), length) == 0 && listen(socket_, 4) == 0;
}

bool RawSocket::Send(const std::string& bytes)
{
    return send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}

bool RawSocket::WaitForClose(DWORD timeoutMs, std::string& received)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    char buffer[4096];
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        const long waitMs = static_cast<long>(deadline - now);
        timeval wait = {waitMs / 1000, (waitMs % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            return false;
        const int n = recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
        received.append(buffer, static_cast<size_t>(n));
    }
}

size_t RawSocket::Receive(size_t bytes, DWORD timeoutMs)
{
    const DWORD waitMs = timeoutMs;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMs), sizeof waitMs);
    char buffer[16384];
    size_t total = 0;
    while (total < bytes) {
        const int n = recv(socket_, buffer, static_cast<int>(std::min(sizeof buffer, bytes - total)), 0);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
    }
    return total;
}

bool HasIpv6Loopback(std::string& why)
{
    RawSocket probe(AF_INET6);
    if (probe.Listen(0, false, true))
        return true;
    why = "this machine has no IPv6 loopback ([::1] cannot be bound, error " + std::to_string(WSAGetLastError()) +
          "); the IPv6 cases are skipped";
    return false;
}
