// The health check's GET against small servers on loopback.
#include <winsock2.h>  // before windows.h, which health_check.h brings

#include <gtest/gtest.h>

#include <string>

#include "health_check.h"

namespace {

constexpr DWORD kLimitMs = 1000;
constexpr int kRefusedPort = 18260;

struct Server {
    SOCKET listener = INVALID_SOCKET;
    std::string reply;  // empty: connections are never accepted
    DWORD delayMs = 0;
};

// Answers one request with `reply` after `delayMs`.
DWORD WINAPI AnswerOnce(LPVOID parameter)
{
    const Server* server = static_cast<const Server*>(parameter);
    const SOCKET client = accept(server->listener, nullptr, nullptr);
    std::string head;
    char buffer[4096];
    for (int n; head.find("\r\n\r\n") == std::string::npos && (n = recv(client, buffer, sizeof buffer, 0)) > 0;)
        head.append(buffer, static_cast<size_t>(n));
    Sleep(server->delayMs);
    send(client, server->reply.data(), static_cast<int>(server->reply.size()), 0);
    closesocket(client);
    return 0;
}

TEST(HealthProbe, PassesOnStatusFrom200UpToTheMaximum)
{
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    const std::string redirect = "Location: http://127.0.0.1:" + std::to_string(kRefusedPort) + "/\r\n";
    const struct {
        std::string reply;  // "": accepts and never answers; "-": nothing listens
        DWORD delayMs;
        DWORD maxStatus;
        const wchar_t* reason;  // null: passes
    } cases[] = {
        {"200 OK\r\n", 0, 399, nullptr},
        {"302 Found\r\n" + redirect, 0, 399, nullptr},
        {"399 Last\r\n", 0, 399, nullptr},
        {"400 Bad Request\r\n", 0, 399, L"HTTP 400"},
        {"404 Not Found\r\n", 0, 399, L"HTTP 404"},
        {"503 Service Unavailable\r\n", 0, 399, L"HTTP 503"},
        {"200 OK\r\n", 0, 200, nullptr},
        {"302 Found\r\n" + redirect, 0, 200, L"HTTP 302"},
        {"503 Service Unavailable\r\n", 0, 599, nullptr},
        {"600 Beyond\r\n", 0, 599, L"HTTP 600"},
        {"", 0, 599, L"no answer within 1 s"},
        {"-", 0, 599, L"connection refused"},
        {"200 OK\r\n", kLimitMs + 1000, 399, L"no answer within 1 s"},
    };
    int port = kRefusedPort;
    for (const auto& c : cases) {
        ++port;
        Server server{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP),
                      c.reply.empty() ? "" : "HTTP/1.1 " + c.reply + "Content-Length: 0\r\n\r\n", c.delayMs};
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (c.reply != "-") {
            ASSERT_EQ(0, bind(server.listener, reinterpret_cast<sockaddr*>(&address), sizeof address)) << port;
            ASSERT_EQ(0, listen(server.listener, 4));
        }
        ScopedHandle answering(c.reply.size() > 1 ? CreateThread(nullptr, 0, AnswerOnce, &server, 0, nullptr)
                                                  : nullptr);
        const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/health?x=1";
        const DWORD start = GetTickCount();
        ScopedProbe probe(StartProbe(url, kLimitMs));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ProbeFinished(*probe.get()), 3 * kLimitMs)) << c.reply;
        EXPECT_GT(kLimitMs + 900, GetTickCount() - start) << c.reply;
        std::wstring reason;
        EXPECT_EQ(c.reason == nullptr, ProbePassed(*probe.get(), c.maxStatus, reason)) << c.reply << c.maxStatus;
        EXPECT_EQ(c.reason == nullptr ? L"" : c.reason, reason) << c.reply;
        closesocket(server.listener);
        if (answering)
            WaitForSingleObject(answering.get(), 5000);
    }
    WSACleanup();
}

}  // namespace
