// The stand-in web server on Winsock. One thread accepts connections and
// waits for their request heads with WSAPoll, so that a client sending
// slowly costs a socket and a buffer, never a thread; a complete head goes
// to a pool thread, which sends the reply and hands the connection back to
// be drained and closed.
#include "server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "files.h"
#include "http.h"
#include "pace.h"
#include "scoped_handle.h"

struct Server {
    std::vector<SOCKET> listeners;  // one for each address family the machine has
    std::string docRoot;
    std::wstring finalRoot;  // the document root with every link resolved
    ServerLimits limits;
    std::atomic<int> open{0};     // client connections not yet closed
    std::atomic<int> workers{0};  // replies being sent
    SRWLOCK handedBackLock = SRWLOCK_INIT;
    std::vector<SOCKET> handedBack;  // replies sent; the poll thread drains and closes these
};

namespace {

constexpr int kDrainLimitBytes = 256 * 1024;
constexpr size_t kFileChunkBytes = 64 * 1024;
// While replies are out, the poll thread looks for connections handed back
// this often; WSAPoll cannot wait for anything but sockets.
constexpr int kHandBackPollMs = 50;
constexpr DWORD kAcceptRetryMs = 50;
constexpr int kAcceptBatch = 16;

// A connection the poll thread waits on.
struct Waiting {
    SOCKET socket;
    ULONGLONG deadline;
    bool draining;         // the reply is out: what still arrives is dropped
    int drained;
    std::string received;  // the request head so far
};

// The listeners first, then one entry of `fds` for each of `waiting`.
struct PollSet {
    size_t listeners = 0;
    std::vector<WSAPOLLFD> fds;
    std::vector<Waiting> waiting;
};

struct Reply {
    Server* server;
    SOCKET socket;
    std::string head;
};

enum class Outcome { Keep, HandedOver, Closed };

// Every socket stays non-blocking: the poll thread must never wait on one,
// and the pool threads wait for sends with WSAPoll.
void SetNonBlocking(SOCKET s)
{
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

void CloseClient(Server& server, SOCKET s)
{
    closesocket(s);
    server.open.fetch_sub(1);
}

// A reader too slow for its reply is cut off: an abortive close drops what
// is still queued, where a plain close would go on sending it.
void AbortClient(Server& server, SOCKET s)
{
    const LINGER hardClose = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hardClose), sizeof hardClose);
    CloseClient(server, s);
}

// How long a reply may take: all of it, any stretch without progress, and
// its pace over the last window.
struct SendBudget {
    ULONGLONG deadline;
    unsigned long stallMs;
    PaceMeter pace;
};

// The socket is non-blocking, so that a send takes what fits and every byte
// the client takes counts as progress. It waits only when the socket's
// buffer is full: under Wine every WSAPoll costs a round trip of its own.
bool SendAll(SOCKET s, const char* data, size_t size, SendBudget& budget)
{
    ULONGLONG lastProgress = GetTickCount64();
    while (size > 0) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG until = std::min(budget.deadline, lastProgress + budget.stallMs);
        if (now >= until || PaceTooSlow(budget.pace, now))
            return false;
        const int n = send(s, data, static_cast<int>(std::min(size, kFileChunkBytes)), 0);
        if (n > 0) {
            lastProgress = GetTickCount64();
            CountSent(budget.pace, lastProgress, static_cast<unsigned long long>(n));
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        WSAPOLLFD fd = {s, POLLWRNORM, 0};
        const ULONGLONG wake = std::min(until, NextPaceCheck(budget.pace));
        if (WSAPoll(&fd, 1, static_cast<int>(wake > now ? wake - now : 0)) < 0)
            return false;
    }
    return true;
}

bool SendAll(SOCKET s, const std::string& text, SendBudget& budget)
{
    return SendAll(s, text.data(), text.size(), budget);
}

bool SendFileBody(SOCKET s, HANDLE file, unsigned long long size, SendBudget& budget)
{
    std::vector<char> buffer(kFileChunkBytes);
    while (size > 0) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(size < kFileChunkBytes ? size : kFileChunkBytes);
        if (!ReadFile(file, buffer.data(), want, &read, nullptr) || read == 0)
            return false;
        if (!SendAll(s, buffer.data(), read, budget))
            return false;
        size -= read;
    }
    return true;
}

// Appends the whole of a small file to `text`.
bool ReadSmallFile(HANDLE file, size_t size, std::string& text)
{
    const size_t start = text.size();
    text.resize(start + size);
    size_t done = 0;
    while (done < size) {
        DWORD read = 0;
        if (!ReadFile(file, &text[start + done], static_cast<DWORD>(size - done), &read, nullptr) || read == 0)
            return false;
        done += read;
    }
    return true;
}

// False when the client did not take the whole reply in time, or stopped
// taking it.
bool SendReply(const Server& server, SOCKET s, const std::string& head)
{
    const ServerLimits& limits = server.limits;
    const ULONGLONG start = GetTickCount64();
    SendBudget budget = {start + limits.sendTimeoutMs, limits.stallTimeoutMs,
                         StartPace(start, limits.paceWindowMs, limits.paceFloorBytesPerSecond)};
    ReplyPlan plan = PlanReply(server.docRoot, head);
    ScopedHandle file;
    LARGE_INTEGER size = {};
    if (plan.status == 200) {
        HANDLE opened = INVALID_HANDLE_VALUE;
        plan.status = OpenServedFile(server.finalRoot, plan.filePath, opened);
        file.reset(opened);
        if (plan.status == 200 && !GetFileSizeEx(file.get(), &size))
            plan.status = 404;
    }
    if (plan.status != 200)
        return SendAll(s, BuildErrorReply(plan.status, plan.withBody), budget);

    const unsigned long long length = static_cast<unsigned long long>(size.QuadPart);
    if (limits.sendBytesPerSecond > 0)
        budget.deadline += length * 1000 / limits.sendBytesPerSecond;
    std::string reply = BuildResponseHead(200, ContentTypeFor(plan.filePath), length);
    if (!plan.withBody)
        return SendAll(s, reply, budget);
    // A small file goes out with its head in one send: a send is a round
    // trip to the Wine server, and most files served are small.
    if (length <= kFileChunkBytes)
        return ReadSmallFile(file.get(), static_cast<size_t>(length), reply) && SendAll(s, reply, budget);
    return SendAll(s, reply, budget) && SendFileBody(s, file.get(), length, budget);
}

void CALLBACK ReplyWork(PTP_CALLBACK_INSTANCE instance, void* parameter)
{
    // Sends block for as long as the client reads; let the pool keep others free.
    CallbackMayRunLong(instance);
    Reply* reply = static_cast<Reply*>(parameter);
    Server& server = *reply->server;
    if (SendReply(server, reply->socket, reply->head)) {
        shutdown(reply->socket, SD_SEND);
        AcquireSRWLockExclusive(&server.handedBackLock);
        server.handedBack.push_back(reply->socket);
        ReleaseSRWLockExclusive(&server.handedBackLock);
    } else {
        AbortClient(server, reply->socket);
    }
    delete reply;
    // Last: the poll thread counts on every busy worker to hand back first.
    server.workers.fetch_sub(1);
}

void Watch(PollSet& set, SOCKET s, ULONGLONG deadline, bool draining)
{
    set.fds.push_back(WSAPOLLFD{s, POLLRDNORM, 0});
    set.waiting.push_back(Waiting{s, deadline, draining, 0, std::string()});
}

void Unwatch(PollSet& set, size_t index)
{
    set.fds[index] = set.fds.back();
    set.fds.pop_back();
    set.waiting[index - set.listeners] = std::move(set.waiting.back());
    set.waiting.pop_back();
}

// Answers at once: a short reply fits the empty send buffer of a connection
// that has had nothing sent yet. The connection is then drained for a
// moment, so that closing it does not reset the reply away from a client
// that is still sending.
void Refuse(const Server& server, Waiting& connection, int status, ULONGLONG now)
{
    const std::string reply = BuildErrorReply(status);
    send(connection.socket, reply.data(), static_cast<int>(reply.size()), 0);
    shutdown(connection.socket, SD_SEND);
    connection.draining = true;
    std::string().swap(connection.received);
    connection.deadline = now + server.limits.refuseTimeoutMs;
}

Outcome Dispatch(Server& server, Waiting& connection, std::string& head, ULONGLONG now)
{
    if (server.workers.fetch_add(1) < server.limits.maxWorkers) {
        Reply* reply = new Reply{&server, connection.socket, std::move(head)};
        if (TrySubmitThreadpoolCallback(ReplyWork, reply, nullptr))
            return Outcome::HandedOver;
        delete reply;
    }
    server.workers.fetch_sub(1);
    Refuse(server, connection, 503, now);
    return Outcome::Keep;
}

Outcome ReadFromClient(Server& server, Waiting& connection, ULONGLONG now)
{
    char buffer[4096];
    const int n = recv(connection.socket, buffer, sizeof buffer, 0);
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
        return Outcome::Keep;
    if (n <= 0 || (connection.draining && (connection.drained += n) >= kDrainLimitBytes)) {
        CloseClient(server, connection.socket);
        return Outcome::Closed;
    }
    if (connection.draining)
        return Outcome::Keep;
    connection.received.append(buffer, static_cast<size_t>(n));
    std::string head;
    const HeadState state = FindRequestHead(connection.received, head);
    if (state == HeadState::Complete)
        return Dispatch(server, connection, head, now);
    if (state == HeadState::TooLarge)
        Refuse(server, connection, OversizeStatus(connection.received), now);
    return Outcome::Keep;
}

// Clients of either family share one count of connections and workers. At
// most a batch at a time: clients answered at once come back at once, and
// an accept loop that never runs dry would starve the connections waiting
// to be drained and closed.
void AcceptSome(Server& server, SOCKET listener, PollSet& set, ULONGLONG now)
{
    for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
        const SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                Sleep(kAcceptRetryMs);  // a passing shortage of resources; do not spin on it
            return;
        }
        SetNonBlocking(s);
        const int open = server.open.fetch_add(1);
        // Refused connections linger only briefly, but a flood of them is
        // closed outright beyond twice the limit.
        if (open >= 2 * server.limits.maxConnections) {
            CloseClient(server, s);
            continue;
        }
        Watch(set, s, now + server.limits.headTimeoutMs, false);
        if (open >= server.limits.maxConnections) {
            Refuse(server, set.waiting.back(), 503, now);
            continue;
        }
        // The request mostly comes with the connection: read it now rather
        // than after one more WSAPoll.
        if (ReadFromClient(server, set.waiting.back(), now) != Outcome::Keep)
            Unwatch(set, set.fds.size() - 1);
    }
}

void TakeHandedBack(Server& server, PollSet& set)
{
    std::vector<SOCKET> sockets;
    AcquireSRWLockExclusive(&server.handedBackLock);
    sockets.swap(server.handedBack);
    ReleaseSRWLockExclusive(&server.handedBackLock);
    const ULONGLONG deadline = GetTickCount64() + server.limits.drainTimeoutMs;
    for (SOCKET s : sockets)
        Watch(set, s, deadline, true);
}

int PollTimeoutMs(const PollSet& set, bool workersBusy)
{
    const ULONGLONG now = GetTickCount64();
    ULONGLONG wait = workersBusy ? kHandBackPollMs : ~0ULL;
    for (const Waiting& connection : set.waiting)
        wait = std::min(wait, connection.deadline > now ? connection.deadline - now : 0);
    return wait == ~0ULL ? -1 : static_cast<int>(wait);
}

DWORD WINAPI PollThread(void* parameter)
{
    Server& server = *static_cast<Server*>(parameter);
    PollSet set;
    set.listeners = server.listeners.size();
    for (SOCKET listener : server.listeners)
        set.fds.push_back(WSAPOLLFD{listener, POLLRDNORM, 0});
    for (;;) {
        // A worker hands its connection back before it stops counting as
        // busy, so reading the count first misses none.
        const bool workersBusy = server.workers.load() > 0;
        TakeHandedBack(server, set);
        if (WSAPoll(set.fds.data(), static_cast<ULONG>(set.fds.size()), PollTimeoutMs(set, workersBusy)) < 0) {
            Sleep(kAcceptRetryMs);
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        // From the end, so that removing an entry moves only one already seen.
        for (size_t i = set.fds.size() - 1; i >= set.listeners; --i) {
            Waiting& connection = set.waiting[i - set.listeners];
            Outcome outcome = Outcome::Keep;
            if (set.fds[i].revents != 0)
                outcome = ReadFromClient(server, connection, now);
            if (outcome == Outcome::Keep && now >= connection.deadline) {
                CloseClient(server, connection.socket);
                outcome = Outcome::Closed;
            }
            if (outcome != Outcome::Keep)
                Unwatch(set, i);
        }
        for (size_t i = 0; i < set.listeners; ++i)
            if (set.fds[i].revents != 0)
                AcceptSome(server, set.fds[i].fd, set, now);
    }
}

void CloseListeners(std::vector<SOCKET>& listeners)
{
    for (SOCKET s : listeners)
        closesocket(s);
    listeners.clear();
}

// Binds the wildcard address of `family` at `port` and listens. Without
// SO_REUSEADDR, and with SO_EXCLUSIVEADDRUSE so that no other socket may
// bind the port in that family either, not even a specific address such as
// 127.0.0.1 or [::1]: a taken port makes the start fail rather than share.
SOCKET OpenListener(int family, int port)
{
    const SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_storage address = {};
    int length = 0;
    bool ready = true;
    if (family == AF_INET6) {
        // IPv6 only, as Windows makes it by default, so that the IPv4
        // listener keeps IPv4 to itself whatever a system under Wine defaults to.
        const DWORD v6Only = 1;
        ready = setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only), sizeof v6Only) == 0;
        sockaddr_in6& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<u_short>(port));
        in6.sin6_addr = in6addr_any;
        length = sizeof in6;
    } else {
        sockaddr_in& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<u_short>(port));
        in.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof in;
    }
    const BOOL exclusive = TRUE;
    if (!ready ||
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(s, SOMAXCONN) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    SetNonBlocking(s);  // the poll thread accepts until none is left
    return s;
}

// One listener for each family rather than a single dual-stack socket: on
// Windows each one's exclusive use then rests on the plain rule for its own
// family. A machine without IPv6 refuses the IPv6 socket outright and is
// served over IPv4 alone; any other failure fails the start, because a port
// left open in one family could be taken by another program.
bool OpenListeners(int port, std::vector<SOCKET>& listeners)
{
    for (int family : {AF_INET, AF_INET6}) {
        const SOCKET s = OpenListener(family, port);
        if (s != INVALID_SOCKET) {
            listeners.push_back(s);
            continue;
        }
        if (family == AF_INET6 && WSAGetLastError() == WSAEAFNOSUPPORT)
            continue;
        CloseListeners(listeners);
        return false;
    }
    return true;
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
    std::wstring finalRoot;
    if (!FullFolderPath(docRoot, root) || !FinalPathOf(root, finalRoot))
        return kBadDocRoot;

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return kListenFailed;
    std::vector<SOCKET> listeners;
    if (!OpenListeners(port, listeners)) {
        WSACleanup();
        return kListenFailed;
    }
    Server* started = new Server;
    started->listeners = listeners;
    started->docRoot = root;
    started->finalRoot = finalRoot;
    started->limits = limits;
    const HANDLE thread = CreateThread(nullptr, 0, PollThread, started, 0, nullptr);
    if (thread == nullptr) {
        CloseListeners(started->listeners);
        delete started;
        WSACleanup();
        return kNoThread;
    }
    CloseHandle(thread);
    server = started;
    return kStarted;
}
