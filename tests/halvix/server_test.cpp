// The server's guard against slow and silent clients, with short limits so
// that the tests need not wait long.
#include "server.h"

#include <gtest/gtest.h>

#include <string>

#include "pace.h"
#include "raw_socket.h"
#include "testsupport.h"

namespace {

constexpr int kSilentPort = 18150;
constexpr int kTricklePort = 18151;
constexpr int kBusyPort = 18152;
constexpr int kLimitPort = 18153;
constexpr int kSlowReaderPort = 18154;
constexpr int kStalledReadersPort = 18155;
constexpr int kSteadyReadersPort = 18156;

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
        limits.drainTimeoutMs = 1000;
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

TEST_F(SlowClients, TricklingClientIsCutAtTheDeadlineOfItsPhase)
{
    Start(kTricklePort, Limits(1000));
    const struct {
        const char* start;
        const char* reply;  // what arrives before the close
    } cases[] = {
        {"GET / HTTP/1.1\r\nX-Slow: ", ""},  // the head never ends
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n"},  // input goes on after the request
    };
    for (const auto& c : cases) {
        RawSocket client;
        ASSERT_TRUE(client.Connect(kTricklePort));
        const ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(client.Send(c.start));
        std::string received;
        bool replyEnded = false;
        bool closed = false;
        // A byte every half second keeps any per-read timeout from firing;
        // only a deadline for the whole phase ends this. The end of the
        // reply is not the end of the connection: a send fails only once
        // the server has closed its side for good.
        while (!closed && GetTickCount64() - start < 8000) {
            closed = !client.Send("x");
            if (replyEnded)
                Sleep(500);
            else
                replyEnded = client.WaitForClose(500, received);
        }
        EXPECT_TRUE(closed) << c.start;
        EXPECT_EQ(c.reply, received.substr(0, std::string(c.reply).size())) << c.start;
        EXPECT_LT(GetTickCount64() - start, 4000u) << c.start;
    }
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

TEST_F(SlowClients, ConnectionsOverTheLimitGet503UntilOthersEnd)
{
    Start(kLimitPort, Limits(20000, 2));
    {
        RawSocket silent[2];
        for (RawSocket& client : silent)
            ASSERT_TRUE(client.Connect(kLimitPort));
        Sleep(300);  // let the server take both
        const zvtest::HttpReply refused = zvtest::HttpGet(kLimitPort, "/");
        EXPECT_EQ(503, refused.status);
        EXPECT_NE(std::string::npos, refused.headers.find("\r\nRetry-After: 2\r\n"));
        EXPECT_NE(std::string::npos, refused.headers.find("\r\nConnection: close\r\n"));
    }
    // Closed by the clients: their slots are free again.
    EXPECT_TRUE(zvtest::WaitUntil([] { return zvtest::HttpGet(kLimitPort, "/").status == 200; }, 5000));
}

TEST_F(SlowClients, ReaderTooSlowForItsFileIsCutOff)
{
    // Larger than what the loopback connection buffers on both sides.
    const std::string big(32 * 1024 * 1024, 'b');
    ASSERT_TRUE(zvtest::WriteFileBytes(folder_.File("big.bin"), big));
    ServerLimits limits = Limits(5000);
    limits.sendTimeoutMs = 1000;
    limits.sendBytesPerSecond = 1024 * 1024 * 1024;
    Start(kSlowReaderPort, limits);
    RawSocket client;
    ASSERT_TRUE(client.Connect(kSlowReaderPort));
    ASSERT_TRUE(client.Send("GET /big.bin HTTP/1.1\r\n\r\n"));
    Sleep(3000);  // reads nothing meanwhile
    std::string received;
    EXPECT_TRUE(client.WaitForClose(20000, received));
    EXPECT_EQ(0u, received.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_LT(received.size(), big.size());
}

TEST_F(SlowClients, ReadersThatStopFreeEveryWorkerWithinTheStallLimit)
{
    // With the shipped limits the budget for the whole reply is 138 s: only
    // the limit on a stalled reply frees the workers sooner.
    ASSERT_TRUE(zvtest::WriteFileBytes(folder_.File("big.bin"), std::string(8 * 1024 * 1024, 'b')));
    Start(kStalledReadersPort, ServerLimits());
    const ULONGLONG start = GetTickCount64();
    RawSocket stalled[64];
    for (RawSocket& client : stalled)
        ASSERT_TRUE(client.Connect(kStalledReadersPort, 1024) && client.Send("GET /big.bin HTTP/1.1\r\n\r\n"));
    // Under load the 64 replies may take seconds to start; the first of them
    // is freed no sooner than 10 s after it stalled.
    int status = 0;
    EXPECT_TRUE(zvtest::WaitUntil([&] { return (status = zvtest::HttpGet(kStalledReadersPort, "/").status) == 503; },
                                  9000, 100))
        << "the readers never held every worker; last status " << status;
    EXPECT_TRUE(zvtest::WaitUntil([] { return zvtest::HttpGet(kStalledReadersPort, "/").status == 200; },
                                  static_cast<DWORD>(start + 30000 - GetTickCount64()), 500));
}

TEST_F(SlowClients, SteadySlowReadersFreeEveryWorkerWithinThePaceFloor)
{
    // 64 KiB every 2 s never stalls and fits the 138 s budget of 8 MiB; buffers as the system makes them.
    ASSERT_TRUE(zvtest::WriteFileBytes(folder_.File("big.bin"), std::string(8 * 1024 * 1024, 'b')));
    Start(kSteadyReadersPort, ServerLimits());
    const ULONGLONG start = GetTickCount64();
    RawSocket readers[64];
    for (RawSocket& reader : readers)
        ASSERT_TRUE(reader.Connect(kSteadyReadersPort) && reader.Send("GET /big.bin HTTP/1.1\r\n\r\n"));
    int status = 0;
    bool refused = false;
    for (ULONGLONG round = start; status != 200 && GetTickCount64() - start < 30000; round += 2000) {
        for (RawSocket& reader : readers)
            reader.Receive(64 * 1024, 1000);
        status = zvtest::HttpGet(kSteadyReadersPort, "/").status;
        refused = refused || status == 503;
        const ULONGLONG now = GetTickCount64();
        Sleep(round + 2000 > now ? static_cast<DWORD>(round + 2000 - now) : 0);
    }
    EXPECT_TRUE(refused) << "the readers never held every worker";
    EXPECT_EQ(200, status) << "still not answered 30 s after the readers began";
}

// A 1 Mbit/s link (115 KiB/s) is never cut; a reader below the floor is, whatever it buffered at first.
TEST(PaceMeter, CutsReadersBelowTheFloorAndNoClientOfAOneMegabitLink)
{
    const ServerLimits limits;
    const struct {
        unsigned long long burstBytes;  // in the first 2 s
        unsigned long bytesPerSecond;   // all along, but for a pause of 5 s at 30 s
        bool pause, cut;
    } cases[] = {{0, 115 * 1024, true, false}, {0, 57 * 1024, false, false}, {3 << 20, 32 * 1024, false, true},
                 {3 << 20, 40 * 1024, false, true}};
    for (const auto& c : cases) {
        PaceMeter pace = StartPace(0, limits.paceWindowMs, limits.paceFloorBytesPerSecond);
        unsigned long long cutAt = 0, t = 0;
        while ((t += 100) <= 60000 && cutAt == 0) {
            const bool paused = c.pause && t > 30000 && t <= 35000;
            CountSent(pace, t, (t <= 2000 ? c.burstBytes / 20 : 0) + (paused ? 0 : c.bytesPerSecond / 10));
            cutAt = PaceTooSlow(pace, t) ? t : 0;
        }
        EXPECT_EQ(c.cut, cutAt > 0 && cutAt < 20000) << c.bytesPerSecond << " B/s, cut at " << cutAt << " ms";
    }
}

}  // namespace
