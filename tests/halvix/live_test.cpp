// halvix.dll as the launcher uses it: started on a folder, then asked over
// 127.0.0.1 and [::1].
#include "halvix.h"

#include <gtest/gtest.h>

#include <string>

#include "raw_socket.h"
#include "server.h"
#include "testsupport.h"

namespace {

constexpr int kGetPort = 18100;
constexpr int kHeadPort = 18101;
constexpr int kMethodPort = 18102;
constexpr int kTraversalPort = 18103;
constexpr int kBadRequestPort = 18104;
constexpr int kUnusedPort = 18105;
constexpr int kTakenPort = 18106;
constexpr int kSharedPort = 18107;
constexpr int kSecondPort = 18108;
constexpr int kLinkPort = 18109;

const std::string kPng("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

// The value of header `name` in `reply`, or "(none)".
std::string Header(const zvtest::HttpReply& reply, const std::string& name)
{
    const std::string key = "\r\n" + name + ": ";
    const size_t start = reply.headers.find(key);
    if (start == std::string::npos)
        return "(none)";
    const size_t value = start + key.size();
    return reply.headers.substr(value, reply.headers.find("\r\n", value) - value);
}

// Starts `helper` as the launcher does; the library leaves the option text
// and the ISAPI setting as they were.
int StartOn(ZorvaneWebHelper& helper, const std::string& docRoot, int port)
{
    std::string root = docRoot;
    char optionText[] = "no";
    int enableIsapi = 1;
    const int status = helper.StartWebServer(&root[0], port, optionText, enableIsapi);
    EXPECT_STREQ("no", optionText);
    EXPECT_EQ(1, enableIsapi);
    return status;
}

class LiveServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        site_ = folder_.File("site");
        const struct {
            const char* name;
            std::string bytes;
        } files[] = {
            {"secret.txt", "top secret"},      {"site\\index.html", "<p>home</p>"},
            {"site\\page.txt", "page text"},   {"site\\style.css", "p{}"},
            {"site\\logo.png", kPng},          {"site\\sub\\index.html", "<p>sub</p>"},
            {"site\\empty\\keep.bin", "k"},
        };
        for (const auto& file : files) {
            const std::string path = folder_.File(file.name);
            ASSERT_TRUE(zvtest::MakeFolders(path.substr(0, path.rfind('\\'))));
            ASSERT_TRUE(zvtest::WriteFileBytes(path, file.bytes));
        }
    }
    int Start(const std::string& docRoot, int port) { return StartOn(helper_, docRoot, port); }

    zvtest::TempFolder folder_{"halvix"};
    std::string site_;
    ZorvaneWebHelper helper_;
};

TEST_F(LiveServer, GetServesFilesWithTypeAndLength)
{
    ASSERT_EQ(0, Start(site_, kGetPort));
    struct Case {
        const char* target;
        int status;
        std::string body;
        const char* type;
    };
    const Case cases[] = {
        {"/page.txt", 200, "page text", "text/plain"},
        {"/style.css", 200, "p{}", "text/css"},
        {"/logo.png", 200, kPng, "image/png"},
        {"/empty/keep.bin", 200, "k", "application/octet-stream"},
        {"/", 200, "<p>home</p>", "text/html"},
        {"/sub", 200, "<p>sub</p>", "text/html"},
        {"/sub/", 200, "<p>sub</p>", "text/html"},
        {"/page.txt?x=1", 200, "page text", "text/plain"},
        {"/missing.txt", 404, "404 Not Found\n", "text/plain"},
        {"/empty/", 404, "404 Not Found\n", "text/plain"},
    };
    for (const Case& c : cases) {
        const zvtest::HttpReply reply = zvtest::HttpGet(kGetPort, c.target);
        EXPECT_EQ(c.status, reply.status) << c.target;
        EXPECT_EQ(c.body, reply.body) << c.target;
        EXPECT_EQ(c.type, Header(reply, "Content-Type")) << c.target;
        EXPECT_EQ(std::to_string(c.body.size()), Header(reply, "Content-Length")) << c.target;
        EXPECT_EQ("close", Header(reply, "Connection")) << c.target;
    }
}

TEST_F(LiveServer, HeadSendsTheHeadersOfGetWithoutBody)
{
    ASSERT_EQ(0, Start(site_, kHeadPort));
    const zvtest::HttpReply page = zvtest::HttpExchange(kHeadPort, "HEAD /page.txt HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(200, page.status);
    EXPECT_EQ("text/plain", Header(page, "Content-Type"));
    EXPECT_EQ("9", Header(page, "Content-Length"));
    EXPECT_EQ("", page.body);

    const zvtest::HttpReply missing = zvtest::HttpExchange(kHeadPort, "HEAD /missing HTTP/1.0\r\n\r\n");
    EXPECT_EQ(404, missing.status);
    EXPECT_EQ("", missing.body);
}

TEST_F(LiveServer, OtherMethodsGet405WithAllow)
{
    ASSERT_EQ(0, Start(site_, kMethodPort));
    const char* requests[] = {
        "POST /page.txt HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc",
        "PUT /new.txt HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n",
        "DELETE /page.txt HTTP/1.1\r\nHost: a\r\n\r\n",
        "OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n",
    };
    for (const char* request : requests) {
        const zvtest::HttpReply reply = zvtest::HttpExchange(kMethodPort, request);
        EXPECT_EQ(405, reply.status) << request;
        EXPECT_EQ("GET, HEAD", Header(reply, "Allow")) << request;
    }
    std::string left;
    EXPECT_TRUE(zvtest::ReadFileBytes(site_ + "\\page.txt", left));
    EXPECT_EQ("page text", left);
}

TEST_F(LiveServer, TraversalNeverReachesFilesOutsideTheRoot)
{
    ASSERT_EQ(0, Start(site_, kTraversalPort));
    std::string absolute = folder_.File("secret.txt");
    for (char& c : absolute)
        if (c == '\\')
            c = '/';
    const std::string targets[] = {
        "/../secret.txt", "/%2E%2e%2fsecret.txt", "/sub/..%5c..%5csecret.txt", "/" + absolute,
        "/page.txt::$DATA", "/NUL.txt",
    };
    for (const std::string& target : targets) {
        const zvtest::HttpReply reply = zvtest::HttpGet(kTraversalPort, target);
        EXPECT_EQ(400, reply.status) << target;
        EXPECT_EQ(std::string::npos, reply.body.find("secret")) << target;
    }
}

TEST_F(LiveServer, MalformedOversizedAndBareLfRequestsAreAnsweredAtOnce)
{
    ASSERT_EQ(0, Start(site_, kBadRequestPort));
    const struct {
        std::string request;
        int status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\nX-Big: " + std::string(10000, 'x') + "\r\n\r\n", 431},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", 414},
        {"GARBAGE\r\n\r\n", 400},
        {"GET /page.txt HTTP/1.1\nHost: a\n\n", 200},
        {"GET /page.txt HTTP/1.0\n\n", 200},
    };
    for (const auto& c : cases) {
        const ULONGLONG start = GetTickCount64();
        const zvtest::HttpReply reply = zvtest::HttpExchange(kBadRequestPort, c.request);
        EXPECT_EQ(c.status, reply.status) << c.request.substr(0, 40);
        EXPECT_EQ("close", Header(reply, "Connection")) << c.request.substr(0, 40);
        EXPECT_LT(GetTickCount64() - start, 3000u) << c.request.substr(0, 40);  // not held until the head deadline
    }
    EXPECT_EQ(200, zvtest::HttpGet(kBadRequestPort, "/").status);
}

TEST_F(LiveServer, LinksOutOfTheRootAreNotFound)
{
    ASSERT_TRUE(zvtest::MakeSymbolicLink(site_ + "\\secret.txt", "..\\secret.txt", false));
    ASSERT_TRUE(zvtest::MakeSymbolicLink(site_ + "\\up", "..", true));
    ASSERT_EQ(0, Start(site_, kLinkPort));
    for (const char* target : {"/secret.txt", "/up/secret.txt"}) {
        const zvtest::HttpReply reply = zvtest::HttpGet(kLinkPort, target);
        EXPECT_EQ(404, reply.status) << target;
        EXPECT_EQ("404 Not Found\n", reply.body) << target;
    }
}

TEST_F(LiveServer, StartFailsWithoutAPortOrAFolder)
{
    struct Case {
        std::string docRoot;
        int port;
        int status;
    };
    const Case cases[] = {
        {site_, 0, kBadPort},
        {site_, 70000, kBadPort},
        {site_, 65536, kBadPort},
        {site_, -1, kBadPort},
        {folder_.File("absent"), kUnusedPort, kBadDocRoot},
        {site_ + "\\page.txt", kUnusedPort, kBadDocRoot},
        {"", kUnusedPort, kBadDocRoot},
    };
    for (const Case& c : cases) {
        ZorvaneWebHelper helper;  // destroyed after the failed start, as the launcher does
        EXPECT_EQ(c.status, StartOn(helper, c.docRoot, c.port)) << c.docRoot << " " << c.port;
    }
    EXPECT_FALSE(zvtest::PortAccepts(kUnusedPort));
}

TEST_F(LiveServer, TakenPortFailsToStart)
{
    RawSocket holder;
    ASSERT_TRUE(holder.Listen(kTakenPort, false));
    EXPECT_EQ(kListenFailed, Start(site_, kTakenPort));
}

TEST_F(LiveServer, RunningServerKeepsItsPortToItselfInBothFamilies)
{
    ASSERT_EQ(0, Start(site_, kSharedPort));
    EXPECT_EQ(kAlreadyStarted, Start(site_, kSecondPort));

    ZorvaneWebHelper second;
    EXPECT_EQ(kListenFailed, StartOn(second, site_, kSharedPort));
    const bool ipv6 = RawSocket(AF_INET6).Listen(0, false, true);
    // With SO_REUSEADDR an intruder gets in wherever one without it would.
    const struct {
        const char* name;
        int family;
        bool loopbackOnly;
    } intruders[] = {
        {"0.0.0.0", AF_INET, false}, {"127.0.0.1", AF_INET, true}, {"[::]", AF_INET6, false}, {"[::1]", AF_INET6, true}};
    for (const auto& intruder : intruders) {
        RawSocket socket(intruder.family);
        if (intruder.family == AF_INET || ipv6) {
            EXPECT_FALSE(socket.Listen(kSharedPort, true, intruder.loopbackOnly)) << intruder.name;
        }
    }
    EXPECT_EQ(200, zvtest::HttpGet(kSharedPort, "/page.txt").status);
    if (!ipv6)
        GTEST_SKIP() << "this machine has no IPv6 loopback ([::1] cannot be bound): the IPv6 cases are skipped";
    RawSocket client(AF_INET6);
    std::string reply;
    EXPECT_TRUE(client.Connect(kSharedPort) && client.Send("GET /page.txt HTTP/1.1\r\n\r\n") &&
                client.WaitForClose(5000, reply));
    EXPECT_EQ(0u, reply.find("HTTP/1.1 200 OK\r\n")) << reply;
    EXPECT_EQ("page text", reply.substr(reply.find("\r\n\r\n") + 4));
}

}  // namespace
