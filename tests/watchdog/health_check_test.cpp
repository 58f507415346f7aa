// The health check's GET against small servers on loopback.
#include <winsock2.h>  // before windows.h, which health_check.h brings

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "health_check.h"
#include "watchdog_testing.h"

namespace {

constexpr DWORD kLimitMs = 1000;
constexpr int kRefusedPort = 18260;

TEST(HealthProbe, PassesOnStatusFrom200UpToTheMaximum)
{
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
        std::unique_ptr<wdtest::ScriptedServer> server;
        if (c.reply != "-") {
            server = std::make_unique<wdtest::ScriptedServer>(port, [&](size_t) { return c.reply; }, c.delayMs);
            ASSERT_TRUE(server->Listening()) << port;
        }
        const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/health?x=1";
        const DWORD start = GetTickCount();
        ScopedProbe probe(StartProbe(url, kLimitMs));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ProbeFinished(*probe.get()), 3 * kLimitMs)) << c.reply;
        EXPECT_GT(kLimitMs + 900, GetTickCount() - start) << c.reply;
        std::wstring reason;
        EXPECT_EQ(c.reason == nullptr, ProbePassed(*probe.get(), c.maxStatus, reason)) << c.reply << c.maxStatus;
        EXPECT_EQ(c.reason == nullptr ? L"" : c.reason, reason) << c.reply;
    }
}

}  // namespace
