// Fuzzes the stand-in's request handling: whatever a client sends, nothing
// outside the document root is ever named for sending.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "http.h"

namespace {

std::string g_docRoot;
const char* const kEntries[] = {"index.html", "page.txt", "sub/index.html", "sub", ""};  // removal order

void WriteText(const std::string& path, const char* text)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    std::fputs(text, file);
    std::fclose(file);
}

// The root, a separator, then segments that each name an entry below it;
// only the last may be empty (a folder's trailing separator).
void CheckBelowRoot(const std::string& path)
{
    FUZZ_CHECK(path.compare(0, g_docRoot.size() + 1, g_docRoot + "\\") == 0);
    size_t start = g_docRoot.size() + 1;
    while (true) {
        const size_t end = path.find('\\', start);
        const std::string segment = path.substr(start, end == std::string::npos ? end : end - start);
        if (end == std::string::npos) {
            FUZZ_CHECK(segment != "." && segment != "..");
            break;
        }
        FUZZ_CHECK(!segment.empty() && segment != "." && segment != "..");
        start = end + 1;
    }
    FUZZ_CHECK(path.find_first_of(std::string(":/\0", 3), g_docRoot.size()) == std::string::npos);
}

std::string LineEndsAsLf(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    }
    return result;
}

void RemoveDocRoot()
{
    for (const char* entry : kEntries)
        std::remove((g_docRoot + "/" + entry).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char folder[] = "/tmp/zv-http-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr);
    g_docRoot = folder;
    WriteText(g_docRoot + "/index.html", "<p>home</p>");
    WriteText(g_docRoot + "/page.txt", "page");
    FUZZ_CHECK(mkdir((g_docRoot + "/sub").c_str(), 0700) == 0);
    WriteText(g_docRoot + "/sub/index.html", "<p>sub</p>");
    std::atexit(RemoveDocRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    // A complete head is what was received, with every line ending in CRLF.
    std::string head;
    if (FindRequestHead(input, head) == HeadState::Complete) {
        for (size_t i = 0; i < head.size(); ++i)
            FUZZ_CHECK(head[i] != '\n' || (i > 0 && head[i - 1] == '\r'));
        const std::string received = LineEndsAsLf(input);
        const std::string found = LineEndsAsLf(head);
        FUZZ_CHECK(found.size() < kMaxHeadBytes && received.compare(0, found.size(), found) == 0);
    }

    std::string path;
    if (MapTargetToPath(g_docRoot, input, path))
        CheckBelowRoot(path);

    const ReplyPlan plan = PlanReply(g_docRoot, input);
    FUZZ_CHECK(plan.status >= 200 && plan.status <= 599);
    FUZZ_CHECK((plan.status == 200) == !plan.filePath.empty());
    if (plan.status == 200)
        CheckBelowRoot(plan.filePath);
    return 0;
}
