// A bare TCP socket on loopback for the server tests.
#include "raw_socket.h"

namespace {

sockaddr_in Address(u_long host, int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(host);
    return address;
}

}  // namespace

RawSocket::RawSocket()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
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
    const sockaddr_in address = Address(INADDR_LOOPBACK, port);
    return connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool RawSocket::Listen(int port, bool reuseAddress)
{
    const BOOL on = TRUE;
    if (reuseAddress)
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    const sockaddr_in address = Address(INADDR_ANY, port);
    return bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(socket_, 4) == 0;
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
