// Request handling of the stand-in web server, without sockets: the request
// head, the mapping of targets onto the document root, the reply decision.
#include "files.h"
#include "http.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace {

TEST(RequestHead, EndsAtTheBlankLineWithin8KiB)
{
    const std::string filler = "GET / HTTP/1.1\r\nX: ";
    auto headOf = [&](size_t total) { return filler + std::string(total - filler.size() - 4, 'x') + "\r\n\r\n"; };
    struct Case {
        std::string received;
        HeadState state;
        std::string head;
    };
    const Case cases[] = {
        {"", HeadState::Incomplete, ""},
        {"GET / HTTP/1.1\r\nHost: a\r\n", HeadState::Incomplete, ""},
        {"GET / HTTP/1.1\r\n\r\n", HeadState::Complete, "GET / HTTP/1.1"},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody\r\n\r\n", HeadState::Complete, "GET / HTTP/1.1\r\nHost: a"},
        {headOf(8192), HeadState::Complete, headOf(8192).substr(0, 8188)},
        {headOf(8193), HeadState::TooLarge, ""},
        {std::string(8191, 'x'), HeadState::Incomplete, ""},
        {std::string(8192, 'x'), HeadState::TooLarge, ""},
        // lines ending in a bare LF, alone or mixed with CRLF
        {"GET / HTTP/1.1\nHost: a\n\n", HeadState::Complete, "GET / HTTP/1.1\r\nHost: a"},
        {"GET / HTTP/1.1\r\nHost: a\n\r\n", HeadState::Complete, "GET / HTTP/1.1\r\nHost: a"},
        {"GET / HTTP/1.1\nX: a\rb\r\n\n", HeadState::Complete, "GET / HTTP/1.1\r\nX: a\rb"},
        {"GET / HTTP/1.1\nHost: a\n", HeadState::Incomplete, ""},
        {"GET / HTTP/1.1\nHost: a\n\r", HeadState::Incomplete, ""},
    };
    for (const Case& c : cases) {
        std::string head;
        EXPECT_EQ(c.state, FindRequestHead(c.received, head)) << c.received.size();
        EXPECT_EQ(c.head, head) << c.received.size();
    }
}

TEST(RequestHead, OversizedHeadsTellALongLineFromLongHeaders)
{
    const struct {
        std::string received;
        int status;
    } cases[] = {
        {"GET /" + std::string(8200, 'a'), 414},
        {std::string(8192, 'x') + "\r\n", 414},
        {"GET / HTTP/1.1\r\nX: " + std::string(8200, 'x'), 431},
        {"GET / HTTP/1.1\nX: " + std::string(8200, 'x') + "\n\n", 431},
    };
    for (const auto& c : cases) {
        std::string head;
        ASSERT_EQ(HeadState::TooLarge, FindRequestHead(c.received, head)) << c.status;
        EXPECT_EQ(c.status, OversizeStatus(c.received)) << c.received.substr(0, 20);
    }
}

TEST(RequestHead, WellFormedHeadsAreParsed)
{
    struct Case {
        const char* head;
        const char* method;
        const char* target;
        const char* version;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1", "GET", "/", "HTTP/1.1"},
        {"GET /a.txt?q=1 HTTP/1.0\r\nHost: x\r\nUser-Agent: t/1 (x)", "GET", "/a.txt?q=1", "HTTP/1.0"},
        {"HEAD /x HTTP/1.1\r\nHost:x\r\nX-Empty:\r\nX-Tab:\ta\tb", "HEAD", "/x", "HTTP/1.1"},
        {"BREW /pot HTTP/1.1", "BREW", "/pot", "HTTP/1.1"},
    };
    for (const Case& c : cases) {
        Request request;
        ASSERT_TRUE(ParseRequestHead(c.head, request)) << c.head;
        EXPECT_EQ(c.method, request.method) << c.head;
        EXPECT_EQ(c.target, request.target) << c.head;
        EXPECT_EQ(c.version, request.version) << c.head;
    }
}

TEST(RequestHead, MalformedHeadsAreRefused)
{
    const std::string heads[] = {
        "",
        "GET",
        "GET /",
        "GET / HTTP/1.1 extra",
        "GET  / HTTP/1.1",
        " GET / HTTP/1.1",
        "GET / http/1.1",
        "GET / HTTP/2.0",
        "GET / HTTP/1.1\r\n",
        "G(T / HTTP/1.1",
        "GET /a\x01" "b HTTP/1.1",
        "GET /\xE9t\xE9 HTTP/1.1",
        "GET / HTTP/1.1\r\nNoColon",
        "GET / HTTP/1.1\r\n: no name",
        "GET / HTTP/1.1\r\nBad Name: x",
        "GET / HTTP/1.1\r\nHost : x",
        "GET / HTTP/1.1\r\nHost: x\r\n folded",
        "GET / HTTP/1.1\r\nX: a\rb",
        std::string("GET / HTTP/1.1\r\nX: a\0b", 24),
    };
    for (const std::string& head : heads) {
        Request request;
        EXPECT_FALSE(ParseRequestHead(head, request)) << head;
    }
}

TEST(TargetMapping, PlainTargetsMapBelowTheDocumentRoot)
{
    struct Case {
        const char* docRoot;
        const char* target;
        const char* path;
    };
    const Case cases[] = {
        {"C:\\site", "/", "C:\\site\\"},
        {"C:\\site", "/index.html", "C:\\site\\index.html"},
        {"C:\\site", "/a/b.txt", "C:\\site\\a\\b.txt"},
        {"C:\\site", "/a/", "C:\\site\\a\\"},
        {"C:\\site", "/my%20file.txt", "C:\\site\\my file.txt"},
        {"C:\\site", "/100%25.txt", "C:\\site\\100%.txt"},
        {"C:\\site", "/a%2fb.txt", "C:\\site\\a\\b.txt"},
        {"C:\\site", "/page.txt?x=1&up=../../z", "C:\\site\\page.txt"},
        {"C:\\site", "/?%00", "C:\\site\\"},
        {"C:\\site", "/.well-known/x", "C:\\site\\.well-known\\x"},
        {"C:\\site", "/file..txt", "C:\\site\\file..txt"},
        {"C:\\site", "/console.txt", "C:\\site\\console.txt"},
        {"C:\\site", "/nullable/com10.txt", "C:\\site\\nullable\\com10.txt"},
        {"C:\\site", "/lpt.txt", "C:\\site\\lpt.txt"},
        {"C:\\site", "/con-tact.html", "C:\\site\\con-tact.html"},
        {"C:\\", "/a.txt", "C:\\a.txt"},
        {"D:/srv/", "/a.txt", "D:/srv/a.txt"},
    };
    for (const Case& c : cases) {
        std::string path;
        ASSERT_TRUE(MapTargetToPath(c.docRoot, c.target, path)) << c.target;
        EXPECT_EQ(c.path, path) << c.target;
    }
}

TEST(TargetMapping, TargetsThatCouldLeaveTheDocumentRootAreRefused)
{
    const char* targets[] = {
        // parent folders, plain and encoded
        "/..", "/../secret.txt", "/a/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2e/secret.txt",
        "/.%2e/secret.txt", "/..%2fsecret.txt", "/..%2Fsecret.txt", "/a/..%2f..%2fsecret.txt",
        // backslashes, plain and encoded
        "/..\\secret.txt", "/a\\b.txt", "/..%5csecret.txt", "/..%5Csecret.txt", "/%5c%5cserver%5cshare",
        // drives, absolute and UNC paths, alternate data streams
        "/C:/windows/win.ini", "/c:", "/C%3a/windows", "//server/share/x", "/a//b",
        "/index.html::$DATA", "/index.html:stream",
        // NUL and other control bytes
        "/%00", "/index.html%00.txt", "/a%09b", "/a%7f",
        // devices, in any case, with extensions, trailing dots and blanks
        "/con", "/CON", "/nul.txt", "/NuL.TxT", "/aux", "/prn.html", "/com1", "/COM9.log", "/lpt1",
        "/Lpt9.txt", "/a/nul", "/con%20.txt", "/nul.", "/conin$", "/CONOUT$.txt", "/com%b9", "/lpt%b2.txt",
        // names Windows would shorten or treat as wildcards
        "/.", "/./index.html", "/...", "/index.html.", "/index.html%20", "/a%2a", "/a%3fb", "/a%3cb", "/a%22b",
        "/a%7cb",
        // bad escapes and other forms of target
        "/%", "/%2", "/%zz", "/%g0", "relative.txt", "*", "http://host/index.html", "",
    };
    for (const char* target : targets) {
        std::string path = "untouched";
        EXPECT_FALSE(MapTargetToPath("C:\\site", target, path)) << target << " -> " << path;
    }
}

// The bytes of a name are read in the ANSI code page before the file system
// sees them: the superscript digit is one byte in 1252, two in UTF-8, and
// another letter in 1251.
TEST(TargetMapping, DeviceNamesAreFoundAsTheCodePageSpellsThem)
{
    const struct {
        const char* segment;
        unsigned int codePage;
        bool device;
    } cases[] = {
        {"com\xB9", 1252, true},          {"LPT\xB2.txt", 1252, true},      {"com\xC2\xB9", 65001, true},
        {"lpt\xC2\xB3 .log", 65001, true}, {"com\xC2\xB9", 1252, false},     {"com\xB9", 1251, false},
        {"Nul.txt", 932, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.device, IsDeviceName(c.segment, c.codePage)) << c.segment << " in " << c.codePage;
}

TEST(ContentTypes, FollowTheExtensionInAnyCase)
{
    struct Case {
        const char* path;
        const char* type;
    };
    const Case cases[] = {
        {"C:\\s\\a.html", "text/html"},         {"C:\\s\\A.HTM", "text/html"},
        {"C:\\s\\x\\s.css", "text/css"},       {"app.js", "text/javascript"},
        {"d.json", "application/json"},         {"r.Txt", "text/plain"},
        {"p.png", "image/png"},                 {"p.JPG", "image/jpeg"},
        {"p.jpeg", "image/jpeg"},               {"g.gif", "image/gif"},
        {"i.svg", "image/svg+xml"},             {"favicon.ico", "image/x-icon"},
        {"a.bin", "application/octet-stream"}, {"noext", "application/octet-stream"},
        {"C:\\dir.html\\noext", "application/octet-stream"}, {"a.html.bak", "application/octet-stream"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(c.type, ContentTypeFor(c.path)) << c.path;
}

TEST(ReplyDecision, StatusFollowsMethodTargetAndFiles)
{
    zvtest::TempFolder folder("halvix");
    const std::string root = folder.path();
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("index.html"), "<p>home</p>"));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("page.txt"), "page"));
    ASSERT_TRUE(zvtest::MakeFolders(folder.File("sub")));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("sub\\index.html"), "<p>sub</p>"));
    ASSERT_TRUE(zvtest::MakeFolders(folder.File("bare")));
    ASSERT_TRUE(zvtest::MakeFolders(folder.File("index.html.d\\index.html")));

    struct Case {
        const char* head;
        int status;
        bool withBody;
        std::string filePath;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: a", 200, true, root + "\\index.html"},
        {"HEAD / HTTP/1.1", 200, false, root + "\\index.html"},
        {"GET /page.txt?v=2 HTTP/1.0", 200, true, root + "\\page.txt"},
        {"GET /PAGE.TXT HTTP/1.1", 200, true, root + "\\PAGE.TXT"},
        {"GET /sub HTTP/1.1", 200, true, root + "\\sub\\index.html"},
        {"GET /sub/ HTTP/1.1", 200, true, root + "\\sub\\index.html"},
        {"GET /bare/ HTTP/1.1", 404, true, ""},
        {"GET /index.html.d/ HTTP/1.1", 404, true, ""},
        {"GET /missing.txt HTTP/1.1", 404, true, ""},
        {"GET /page.txt/ HTTP/1.1", 404, true, ""},
        {"HEAD /missing.txt HTTP/1.1", 404, false, ""},
        {"POST / HTTP/1.1", 405, true, ""},
        {"get / HTTP/1.1", 405, true, ""},
        {"DELETE /../page.txt HTTP/1.1", 405, true, ""},
        {"GET /../page.txt HTTP/1.1", 400, true, ""},
        {"HEAD /nul HTTP/1.1", 400, false, ""},
        {"GET / HTTP/1.1\r\nbroken", 400, true, ""},
    };
    for (const Case& c : cases) {
        const ReplyPlan plan = PlanReply(root, c.head);
        EXPECT_EQ(c.status, plan.status) << c.head;
        EXPECT_EQ(c.withBody, plan.withBody) << c.head;
        EXPECT_EQ(c.filePath, plan.filePath) << c.head;
    }
}

TEST(ServedFiles, OnlyFilesWhoseFinalPathIsBelowTheRootAreOpened)
{
    zvtest::TempFolder folder("halvix");
    const std::string site = folder.File("site");
    ASSERT_TRUE(zvtest::MakeFolders(folder.File("site\\sub")));
    ASSERT_TRUE(zvtest::MakeFolders(folder.File("other")));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("secret.txt"), "secret"));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("other\\index.html"), "other"));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("site-twin.txt"), "twin"));
    ASSERT_TRUE(zvtest::WriteFileBytes(folder.File("site\\page.txt"), "page"));
    ASSERT_TRUE(zvtest::MakeSymbolicLink(folder.File("site\\out.txt"), "..\\secret.txt", false));
    ASSERT_TRUE(zvtest::MakeSymbolicLink(folder.File("site\\twin.txt"), "..\\site-twin.txt", false));
    ASSERT_TRUE(zvtest::MakeSymbolicLink(folder.File("site\\out"), "..\\other", true));
    ASSERT_TRUE(zvtest::MakeSymbolicLink(folder.File("site\\sub\\in.txt"), "..\\page.txt", false));
    std::wstring finalRoot;
    ASSERT_TRUE(FinalPathOf(site, finalRoot));

    const struct {
        std::string path;
        int status;
    } cases[] = {
        {site + "\\page.txt", 200},
        {site + "\\sub\\in.txt", 200},       // a link that stays inside
        {site + "\\out.txt", 404},             // a file link out of the root
        {site + "\\twin.txt", 404},            // out, to a name that starts like the root
        {site + "\\out\\index.html", 404},    // a folder's index through a folder link
        {site + "\\missing.txt", 404},
        {site + "\\sub", 403},                 // the system denies opening a folder as a file
    };
    for (const auto& c : cases) {
        HANDLE file = INVALID_HANDLE_VALUE;
        EXPECT_EQ(c.status, OpenServedFile(finalRoot, c.path, file)) << c.path;
        EXPECT_EQ(c.status == 200, file != INVALID_HANDLE_VALUE) << c.path;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
}

TEST(ResponseHead, CarriesLengthTypeAndClose)
{
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\nConnection: close\r\n\r\n",
              BuildResponseHead(200, "text/plain", 5));
    EXPECT_EQ("HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\nContent-Length: 23\r\n"
              "Allow: GET, HEAD\r\nConnection: close\r\n\r\n",
              BuildResponseHead(405, "text/plain", ErrorBody(405).size()));
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 24\r\n"
              "Retry-After: 2\r\nConnection: close\r\n\r\n503 Service Unavailable\n",
              BuildErrorReply(503));
    EXPECT_NE(std::string::npos,
              BuildResponseHead(200, "image/png", 5000000000ULL).find("\r\nContent-Length: 5000000000\r\n"));
}

}  // namespace
