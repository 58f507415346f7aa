// The stand-in web server on Winsock: the listener with its accept thread,
// and one short-lived thread for each connection, which answers one request
// and closes.
#include "server.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "http.h"
#include "scoped_handle.h"

struct Server {
    SOCKET listener = INVALID_SOCKET;
    std::string docRoot;
    ServerLimits limits;
    std::atomic<int> connections{0};
};

namespace {

constexpr DWORD kDrainTimeoutMs = 1000;
constexpr int kDrainLimitBytes = 256 * 1024;
constexpr DWORD kFileChunkBytes = 64 * 1024;

struct Connection {
    Server* server;
    SOCKET socket;
};

void SetTimeout(SOCKET s, int option, DWORD timeoutMs)
{
    setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
}

bool SendAll(SOCKET s, const char* data, size_t size)
{
    while (size > 0) {
        const int n = send(s, data, static_cast<int>(size < 0x10000 ? size : 0x10000), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(SOCKET s, const std::string& text) { return SendAll(s, text.data(), text.size()); }

// Incomplete: the client closed, failed or stayed silent too long; it gets
// no reply then.
HeadState ReceiveHead(SOCKET s, DWORD timeoutMs, std::string& head)
{
    std::string received;
    char buffer[2048];
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const HeadState state = FindRequestHead(received, head);
        if (state != HeadState::Incomplete)
            return state;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return HeadState::Incomplete;
        // The whole head must arrive in time, not only each piece of it.
        SetTimeout(s, SO_RCVTIMEO, static_cast<DWORD>(deadline - now));
        const int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            return HeadState::Incomplete;
        received.append(buffer, static_cast<size_t>(n));
    }
}

// Closing a socket with unread input resets the connection, and the client
// may lose the reply (an oversized request is still arriving): end our side
// first and read what is left for a moment.
void FinishConnection(SOCKET s)
{
    shutdown(s, SD_SEND);
    SetTimeout(s, SO_RCVTIMEO, kDrainTimeoutMs);
    char buffer[4096];
    int drained = 0;
    while (drained < kDrainLimitBytes) {
        const int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        drained += n;
    }
}

void SendFileBody(SOCKET s, HANDLE file, unsigned long long size)
{
    std::vector<char> buffer(kFileChunkBytes);
    while (size > 0) {
        DWORD read = 0;
        const DWORD want = size < kFileChunkBytes ? static_cast<DWORD>(size) : kFileChunkBytes;
        if (!ReadFile(file, buffer.data(), want, &read, nullptr) || read == 0)
            return;
        if (!SendAll(s, buffer.data(), read))
            return;
        size -= read;
    }
}

// False when the file cannot be opened after all; nothing was sent then.
bool SendFileReply(SOCKET s, const ReplyPlan& plan)
{
    ScopedHandle file(CreateFileA(plan.filePath.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size))
        return false;
    const unsigned long long length = static_cast<unsigned long long>(size.QuadPart);
    if (SendAll(s, BuildResponseHead(200, ContentTypeFor(plan.filePath), length)) && plan.withBody)
        SendFileBody(s, file.get(), length);
    return true;
}

void ServeConnection(const Server& server, SOCKET s)
{
    SetTimeout(s, SO_SNDTIMEO, server.limits.sendTimeoutMs);
    std::string head;
    const HeadState state = ReceiveHead(s, server.limits.headTimeoutMs, head);
    if (state == HeadState::Incomplete)
        return;
    ReplyPlan plan;  // 400 for a head over the limit
    if (state == HeadState::Complete)
        plan = PlanReply(server.docRoot, head);
    if (plan.status != 200 || !SendFileReply(s, plan)) {
        const int status = plan.status == 200 ? 404 : plan.status;
        const std::string body = ErrorBody(status);
        std::string reply = BuildResponseHead(status, "text/plain", body.size());
        if (plan.withBody)
            reply += body;
        SendAll(s, reply);
    }
    FinishConnection(s);
}

DWORD WINAPI ConnectionThread(void* parameter)
{
    Connection* connection = static_cast<Connection*>(parameter);
    ServeConnection(*connection->server, connection->socket);
    closesocket(connection->socket);
    connection->server->connections.fetch_sub(1);
    delete connection;
    return 0;
}

DWORD WINAPI AcceptThread(void* parameter)
{
    Server* server = static_cast<Server*>(parameter);
    for (;;) {
        const SOCKET s = accept(server->listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            Sleep(50);  // a passing shortage of resources; do not spin on it
            continue;
        }
        if (server->connections.fetch_add(1) >= server->limits.maxConnections) {
            server->connections.fetch_sub(1);
            closesocket(s);
            continue;
        }
        Connection* connection = new Connection{server, s};
        const HANDLE thread = CreateThread(nullptr, 0, ConnectionThread, connection, 0, nullptr);
        if (thread == nullptr) {
            closesocket(s);
            server->connections.fetch_sub(1);
            delete connection;
            continue;
        }
        CloseHandle(thread);
    }
}

SOCKET OpenListener(int port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    // No SO_REUSEADDR, and no other socket may bind the port with it either:
    // a taken port must make the start fail rather than share the port.
    const BOOL exclusive = TRUE;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(s, SOMAXCONN) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool FullFolderPath(const char* path, std::string& full)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    const DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (size == 0)
        return false;
    full.assign(size, '\0');
    const DWORD length = GetFullPathNameA(path, size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    const DWORD attributes = GetFileAttributesA(full.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

int StartServer(const char* docRoot, int port, const ServerLimits& limits, Server*& server)
{
    server = nullptr;
    if (port < 1 || port > 65535)
        return kBadPort;
    std::string root;
    if (!FullFolderPath(docRoot, root))
        return kBadDocRoot;

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return kListenFailed;
    const SOCKET listener = OpenListener(port);
    if (listener == INVALID_SOCKET) {
        WSACleanup();
        return kListenFailed;
    }
    Server* started = new Server;
    started->listener = listener;
    started->docRoot = root;
    started->limits = limits;
    const HANDLE thread = CreateThread(nullptr, 0, AcceptThread, started, 0, nullptr);
    if (thread == nullptr) {
        closesocket(listener);
        delete started;
        WSACleanup();
        return kNoThread;
    }
    CloseHandle(thread);
    server = started;
    return kStarted;
}
