// A bare TCP socket on loopback for the server tests.
#include "raw_socket.h"

namespace {

// The loopback or the wildcard address of `family` at `port`; an IPv4
// address keeps its port where IPv6 has it.
int Address(int family, bool loopback, int port, sockaddr_in6& address)
{
    address = {};
    address.sin6_port = htons(static_cast<u_short>(port));
    address.sin6_family = static_cast<ADDRESS_FAMILY>(family);
    if (family == AF_INET6) {
        address.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
        return sizeof address;
    }
    reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    return sizeof(sockaddr_in);
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
    sockaddr_in6 address;
    return connect(socket_, reinterpret_cast<const sockaddr*>(&address), Address(family_, true, port, address)) == 0;
}

bool RawSocket::Listen(int port, bool reuseAddress, bool loopbackOnly)
{
    const BOOL on = TRUE;
    if (reuseAddress)
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in6 address;
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
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    std::string buffer(bytes, '\0');
    size_t total = 0;
    for (int n; total < bytes && (n = recv(socket_, &buffer[total], static_cast<int>(bytes - total), 0)) > 0;)
        total += static_cast<size_t>(n);
    return total;
}
