// Load and slow-client measurements of the stand-in web server over
// 127.0.0.1, bounded in count and time. Usage:
//   http_bench serve FOLDER PORT SECONDS
//       serves FOLDER with the shipped limits for SECONDS
//   http_bench floor FILE PORT SECONDS
//       the least a server can do under Wine, as a yardstick: one thread
//       that accepts, reads the request head and sends FILE (read once)
//       with blocking calls, for SECONDS
//   http_bench load PORT TARGET CLIENTS SECONDS [MAX_REQUESTS]
//       CLIENTS threads GET TARGET one after another; prints requests per second
//   http_bench crowd PORT TARGET SLOW_CLIENTS NORMAL_REQUESTS SECONDS
//       SLOW_CLIENTS send a byte of a request head every 5 s and reconnect
//       when closed; meanwhile NORMAL_REQUESTS evenly spread GETs are timed
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server.h"

namespace {

constexpr DWORD kSlowByteIntervalMs = 5000;
constexpr DWORD kAnsweredWithinMs = 2000;
constexpr DWORD kRequestTimeoutMs = 10000;
constexpr int kMaxClients = 1000;

SOCKET ConnectLoopback(int port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// The status of one GET, 0 when there was no complete reply in time.
int Get(int port, const std::string& target)
{
    const SOCKET s = ConnectLoopback(port);
    if (s == INVALID_SOCKET)
        return 0;
    const DWORD timeoutMs = kRequestTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    if (send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
        char buffer[8192];
        int n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<size_t>(n));
        if (n < 0)
            reply.clear();
    }
    closesocket(s);
    return reply.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(reply.c_str() + 9) : 0;
}

struct LoadRun {
    int port;
    std::string target;
    ULONGLONG endTick;
    std::atomic<long> left;  // requests still to make
    std::atomic<long> ok{0};
    std::atomic<long> failed{0};
};

DWORD WINAPI LoadClient(void* parameter)
{
    LoadRun& run = *static_cast<LoadRun*>(parameter);
    while (GetTickCount64() < run.endTick && run.left.fetch_sub(1) > 0) {
        if (Get(run.port, run.target) == 200)
            run.ok.fetch_add(1);
        else
            run.failed.fetch_add(1);
    }
    return 0;
}

int Load(int port, const std::string& target, int clients, DWORD seconds, long maxRequests)
{
    LoadRun run;
    run.port = port;
    run.target = target;
    run.left = maxRequests;
    const ULONGLONG start = GetTickCount64();
    run.endTick = start + seconds * 1000ULL;
    std::vector<HANDLE> threads;
    for (int i = 0; i < clients; ++i) {
        const HANDLE thread = CreateThread(nullptr, 64 * 1024, LoadClient, &run, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                           nullptr);
        if (thread != nullptr)
            threads.push_back(thread);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    const double elapsed = static_cast<double>(GetTickCount64() - start) / 1000.0;
    std::printf("clients %d: %ld ok, %ld failed in %.1f s: %.0f requests/s\n", clients, run.ok.load(),
                run.failed.load(), elapsed, static_cast<double>(run.ok.load()) / elapsed);
    return run.failed.load() == 0 ? 0 : 1;
}

struct Crowd {
    int port;
    int size;
    std::atomic<bool> stop{false};
    std::atomic<long> reconnects{0};
};

// Each slow client sends one byte of a head that never ends every 5 s and
// comes back as soon as the server closes it, as an attacker would.
DWORD WINAPI CrowdThread(void* parameter)
{
    Crowd& crowd = *static_cast<Crowd*>(parameter);
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    struct Slow {
        SOCKET s;
        ULONGLONG nextByte;
        size_t sent;
    };
    std::vector<Slow> slow(static_cast<size_t>(crowd.size), Slow{INVALID_SOCKET, 0, 0});
    std::vector<WSAPOLLFD> fds(slow.size());
    while (!crowd.stop.load()) {
        const ULONGLONG now = GetTickCount64();
        for (size_t i = 0; i < slow.size(); ++i) {
            Slow& client = slow[i];
            if (client.s != INVALID_SOCKET && now >= client.nextByte) {
                const char byte = client.sent < head.size() ? head[client.sent] : 'x';
                if (send(client.s, &byte, 1, 0) != 1) {
                    closesocket(client.s);
                    client.s = INVALID_SOCKET;
                }
                ++client.sent;
                client.nextByte = now + kSlowByteIntervalMs;
            }
            if (client.s == INVALID_SOCKET) {
                client = Slow{ConnectLoopback(crowd.port), now, 0};
                crowd.reconnects.fetch_add(1);
            }
            fds[i] = WSAPOLLFD{client.s, POLLRDNORM, 0};
        }
        if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), 100) <= 0)
            continue;
        for (size_t i = 0; i < slow.size(); ++i) {
            if (fds[i].revents == 0 || slow[i].s == INVALID_SOCKET)
                continue;
            char buffer[1024];
            if (recv(slow[i].s, buffer, sizeof buffer, 0) <= 0) {
                closesocket(slow[i].s);
                slow[i].s = INVALID_SOCKET;
            }
        }
    }
    for (Slow& client : slow)
        if (client.s != INVALID_SOCKET)
            closesocket(client.s);
    return 0;
}

int CrowdRun(int port, const std::string& target, int slowClients, int normalRequests, DWORD seconds)
{
    Crowd crowd;
    crowd.port = port;
    crowd.size = slowClients;
    const HANDLE thread = CreateThread(nullptr, 0, CrowdThread, &crowd, 0, nullptr);
    if (thread == nullptr)
        return 2;
    int answered = 0;
    std::vector<DWORD> times;
    const DWORD intervalMs = seconds * 1000 / static_cast<DWORD>(normalRequests);
    for (int i = 0; i < normalRequests; ++i) {
        Sleep(intervalMs);
        const ULONGLONG start = GetTickCount64();
        const int status = Get(port, target);
        const DWORD tookMs = static_cast<DWORD>(GetTickCount64() - start);
        times.push_back(tookMs);
        if (status == 200 && tookMs <= kAnsweredWithinMs)
            ++answered;
        std::printf("request %d: status %d in %lu ms\n", i + 1, status, tookMs);
    }
    crowd.stop = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    std::sort(times.begin(), times.end());
    std::printf("%d slow clients (%ld connections made): %d of %d requests answered 200 within %lu ms, "
                "median %lu ms, slowest %lu ms\n",
                slowClients, crowd.reconnects.load(), answered, normalRequests, kAnsweredWithinMs,
                times[times.size() / 2], times.back());
    return 0;
}

int Serve(const char* folder, int port, DWORD seconds)
{
    Server* server = nullptr;
    const int status = StartServer(folder, port, ServerLimits(), server);
    if (status != kStarted) {
        std::fprintf(stderr, "StartServer failed: %d\n", status);
        return 1;
    }
    std::printf("serving %s at %d for %lu s\n", folder, port, seconds);
    std::fflush(stdout);
    Sleep(seconds * 1000);
    return 0;
}

struct Floor {
    SOCKET listener;
    std::string reply;
};

DWORD WINAPI FloorThread(void* parameter)
{
    const Floor& floor = *static_cast<const Floor*>(parameter);
    for (;;) {
        const SOCKET s = accept(floor.listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        std::string head;
        char buffer[4096];
        int n;
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192 &&
               (n = recv(s, buffer, sizeof buffer, 0)) > 0)
            head.append(buffer, static_cast<size_t>(n));
        send(s, floor.reply.data(), static_cast<int>(floor.reply.size()), 0);
        closesocket(s);
    }
}

int ServeFloor(const char* path, int port, DWORD seconds)
{
    std::string body;
    if (FILE* file = std::fopen(path, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            body.append(buffer, n);
        std::fclose(file);
    } else {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    Floor floor;
    floor.reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nConnection: close\r\n\r\n" + body;
    floor.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(floor.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(floor.listener, SOMAXCONN) != 0) {
        std::fprintf(stderr, "cannot listen at %d: %d\n", port, WSAGetLastError());
        return 1;
    }
    const HANDLE thread = CreateThread(nullptr, 0, FloorThread, &floor, 0, nullptr);
    if (thread == nullptr)
        return 1;
    CloseHandle(thread);
    Sleep(seconds * 1000);
    return 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: http_bench serve FOLDER PORT SECONDS\n"
                         "       http_bench floor FILE PORT SECONDS\n"
                         "       http_bench load PORT TARGET CLIENTS SECONDS [MAX_REQUESTS]\n"
                         "       http_bench crowd PORT TARGET SLOW_CLIENTS NORMAL_REQUESTS SECONDS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 5 && std::atoi(argv[4]) > 0 && std::atoi(argv[4]) <= 3600)
        return Serve(argv[2], std::atoi(argv[3]), static_cast<DWORD>(std::atoi(argv[4])));
    if (mode == "floor" && argc == 5 && std::atoi(argv[4]) > 0 && std::atoi(argv[4]) <= 3600)
        return ServeFloor(argv[2], std::atoi(argv[3]), static_cast<DWORD>(std::atoi(argv[4])));
    const int port = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "load" && (argc == 6 || argc == 7)) {
        const int clients = std::atoi(argv[4]);
        const DWORD seconds = static_cast<DWORD>(std::atoi(argv[5]));
        if (clients < 1 || clients > kMaxClients || seconds < 1 || seconds > 600)
            return Usage();
        return Load(port, argv[3], clients, seconds, argc == 7 ? std::atol(argv[6]) : 0x7FFFFFFF);
    }
    if (mode == "crowd" && argc == 7) {
        const int slow = std::atoi(argv[4]);
        const int normal = std::atoi(argv[5]);
        const DWORD seconds = static_cast<DWORD>(std::atoi(argv[6]));
        if (slow < 0 || slow > kMaxClients || normal < 1 || normal > 1000 || seconds < 1 || seconds > 600)
            return Usage();
        return CrowdRun(port, argv[3], slow, normal, seconds);
    }
    return Usage();
}
