// The server's guard against slow and silent clients, with short limits so
// that the tests need not wait long.
#include "server.h"

#include <gtest/gtest.h>

#include <string>

#include "raw_socket.h"
#include "testsupport.h"

namespace {

constexpr int kSilentPort = 18150;
constexpr int kTricklePort = 18151;
constexpr int kBusyPort = 18152;
constexpr int kLimitPort = 18153;

class SlowClients : public ::testing::Test {
protected:
    void Start(int port, const ServerLimits& limits)
    {
        ASSERT_TRUE(zvtest::WriteFileBytes(folder_.File("index.html"), "<p>home</p>"));
        Server* server = nullptr;
        ASSERT_EQ(kStarted, StartServer(folder_.path().c_str(), port, limits, server));
        ASSERT_NE(nullptr, server);
    }
    static ServerLimits Limits(DWORD headTimeoutMs, int maxConnections = 64)
    {
        ServerLimits limits;
        limits.headTimeoutMs = headTimeoutMs;
        limits.maxConnections = maxConnections;
        return limits;
    }

    zvtest::TempFolder folder_{"halvix"};
};

TEST_F(SlowClients, SilentClientIsClosedWithoutReplyAfterTheHeadTimeout)
{
    Start(kSilentPort, Limits(1000));
    RawSocket client;
    ASSERT_TRUE(client.Connect(kSilentPort));
    const ULONGLONG start = GetTickCount64();
    std::string received;
    EXPECT_TRUE(client.WaitForClose(8000, received));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ("", received);
    EXPECT_GE(elapsed, 800u);
    EXPECT_LT(elapsed, 4000u);
}

TEST_F(SlowClients, TricklingHeadIsCutAtTheDeadlineForTheWholeHead)
{
    Start(kTricklePort, Limits(1000));
    RawSocket client;
    ASSERT_TRUE(client.Connect(kTricklePort));
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nX-Slow: "));
    std::string received;
    bool closed = false;
    // Each byte comes well within the timeout; only the deadline for the
    // whole head ends this.
    while (!closed && GetTickCount64() - start < 6000) {
        client.Send("x");
        closed = client.WaitForClose(200, received);
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_TRUE(closed);
    EXPECT_EQ("", received);
    EXPECT_LT(elapsed, 4000u);
}

TEST_F(SlowClients, SilentClientsDoNotHoldUpOthers)
{
    Start(kBusyPort, Limits(20000));
    RawSocket silent[3];
    for (RawSocket& client : silent)
        ASSERT_TRUE(client.Connect(kBusyPort));
    const ULONGLONG start = GetTickCount64();
    const zvtest::HttpReply reply = zvtest::HttpGet(kBusyPort, "/");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("<p>home</p>", reply.body);
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

TEST_F(SlowClients, ConnectionsOverTheLimitAreClosedUntilOthersEnd)
{
    Start(kLimitPort, Limits(20000, 2));
    {
        RawSocket silent[2];
        for (RawSocket& client : silent)
            ASSERT_TRUE(client.Connect(kLimitPort));
        Sleep(300);  // let the server take both
        EXPECT_EQ(0, zvtest::HttpGet(kLimitPort, "/").status);
    }
    // Closed by the clients: their threads end and make room again.
    EXPECT_TRUE(zvtest::WaitForHttp(kLimitPort, 5000));
    EXPECT_EQ(200, zvtest::HttpGet(kLimitPort, "/").status);
}

}  // namespace
