// Request handling of the stand-in web server: from the bytes of a request
// head to the decision what to send back.
#include "http.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr int kRetryAfterSeconds = 2;  // a slot frees within the deadlines of one exchange

bool IsTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool IsToken(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!IsTokenChar(c))
            return false;
    return true;
}

bool IsHeaderLine(const std::string& line)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !IsToken(line.substr(0, colon)))
        return false;
    for (size_t i = colon + 1; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    }
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool PercentDecode(const std::string& text, std::string& decoded)
{
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low < 0)
            return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// One decoded path segment that names a plain file or folder. A backslash
// would be a separator and a colon a drive or a data stream; Windows drops
// trailing dots and blanks, so ".", "..", "..." and "nul." all end here.
bool IsSafeSegment(const std::string& segment)
{
    if (segment.empty())
        return false;
    for (char c : segment) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("\\:*?\"<>|", c) != nullptr)
            return false;
    }
    if (segment.back() == '.' || segment.back() == ' ')
        return false;
    return !IsDeviceName(segment, CP_ACP);
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 403:
        return "Forbidden";
    case 405:
        return "Method Not Allowed";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

}  // namespace

// The name is compared as the file system sees it, in UTF-16 after the
// conversion that CreateFileA makes, so the superscript digits that COM and
// LPT also take (U+00B9, U+00B2, U+00B3) are found whichever bytes spell them.
bool IsDeviceName(const std::string& segment, unsigned int codePage)
{
    const std::string name = segment.substr(0, segment.find('.'));
    if (name.empty())
        return false;
    std::wstring base(name.size(), L'\0');  // no code page makes more UTF-16 units than bytes
    const int length = MultiByteToWideChar(codePage, 0, name.data(), static_cast<int>(name.size()), &base[0],
                                           static_cast<int>(base.size()));
    if (length == 0)
        return true;  // a name that cannot be read is not served
    base.resize(static_cast<size_t>(length));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (base == device)
            return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0))
        return false;
    const wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

HeadState FindRequestHead(const std::string& received, std::string& head)
{
    // The blank line is an LF followed by LF or CRLF; the LF that ends the
    // last header may come with or without its CR.
    size_t lineEnd = received.find('\n');
    size_t total = std::string::npos;
    while (lineEnd != std::string::npos && total == std::string::npos) {
        if (received.compare(lineEnd + 1, 1, "\n") == 0)
            total = lineEnd + 2;
        else if (received.compare(lineEnd + 1, 2, "\r\n") == 0)
            total = lineEnd + 3;
        else
            lineEnd = received.find('\n', lineEnd + 1);
    }
    if (total != std::string::npos && total <= kMaxHeadBytes) {
        const size_t end = lineEnd > 0 && received[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        head.clear();
        for (size_t i = 0; i < end; ++i) {
            if (received[i] == '\n' && (i == 0 || received[i - 1] != '\r'))
                head += '\r';
            head += received[i];
        }
        return HeadState::Complete;
    }
    if (total != std::string::npos || received.size() >= kMaxHeadBytes)
        return HeadState::TooLarge;
    return HeadState::Incomplete;
}

int OversizeStatus(const std::string& received)
{
    const size_t lineEnd = received.find('\n');
    return lineEnd == std::string::npos || lineEnd >= kMaxHeadBytes ? 414 : 431;
}

bool ParseRequestHead(const std::string& head, Request& request)
{
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos)
        return false;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    request.version = line.substr(second + 1);
    if (!IsToken(request.method) || request.target.empty())
        return false;
    for (char c : request.target) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F)  // bytes beyond ASCII come percent-encoded
            return false;
    }
    if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0")
        return false;

    size_t start = lineEnd;
    while (start != std::string::npos) {
        start += 2;
        const size_t end = head.find("\r\n", start);
        if (!IsHeaderLine(head.substr(start, end == std::string::npos ? end : end - start)))
            return false;
        start = end;
    }
    return true;
}

bool MapTargetToPath(const std::string& docRoot, const std::string& target, std::string& path)
{
    // Only the origin form ("/path?query"); the query is not part of the path.
    if (target.empty() || target[0] != '/')
        return false;
    std::string decoded;
    if (!PercentDecode(target.substr(0, target.find('?')), decoded))
        return false;

    // Decoded once: an encoded "/" separates like a plain one, and what the
    // segments hold after decoding is what gets checked.
    std::string relative;
    size_t start = 1;
    while (start < decoded.size()) {
        const size_t slash = decoded.find('/', start);
        const std::string segment = decoded.substr(start, slash == std::string::npos ? slash : slash - start);
        if (!IsSafeSegment(segment))
            return false;
        if (!relative.empty())
            relative += '\\';
        relative += segment;
        start = slash == std::string::npos ? slash : slash + 1;
    }
    // A trailing "/" stays a trailing separator, so that "/file.txt/" does not
    // name the file.
    if (!relative.empty() && decoded.back() == '/')
        relative += '\\';

    path = docRoot;
    if (!path.empty() && path.back() != '\\' && path.back() != '/')
        path += '\\';
    path += relative;
    return true;
}

const char* ContentTypeFor(const std::string& path)
{
    const size_t dot = path.find_last_of("./\\");
    if (dot == std::string::npos || path[dot] != '.')
        return "application/octet-stream";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    static const struct {
        const char* extension;
        const char* type;
    } kTypes[] = {
        {"html", "text/html"},       {"htm", "text/html"},       {"css", "text/css"},
        {"js", "text/javascript"},   {"json", "application/json"}, {"txt", "text/plain"},
        {"png", "image/png"},        {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},        {"svg", "image/svg+xml"},   {"ico", "image/x-icon"},
    };
    for (const auto& entry : kTypes)
        if (extension == entry.extension)
            return entry.type;
    return "application/octet-stream";
}

ReplyPlan PlanReply(const std::string& docRoot, const std::string& head)
{
    ReplyPlan plan;
    Request request;
    if (!ParseRequestHead(head, request))
        return plan;
    if (request.method != "GET" && request.method != "HEAD") {
        plan.status = 405;
        return plan;
    }
    plan.withBody = request.method == "GET";
    std::string path;
    if (!MapTargetToPath(docRoot, request.target, path))
        return plan;

    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (path.back() != '\\' && path.back() != '/')
            path += '\\';
        path += "index.html";
        attributes = GetFileAttributesA(path.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const bool denied = attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_ACCESS_DENIED;
        plan.status = denied ? 403 : 404;
        return plan;
    }
    plan.status = 200;
    plan.filePath = path;
    return plan;
}

std::string BuildResponseHead(int status, const char* contentType, unsigned long long contentLength)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    head += "Content-Type: ";
    head += contentType;
    head += "\r\nContent-Length: " + std::to_string(contentLength) + "\r\n";
    if (status == 405)
        head += "Allow: GET, HEAD\r\n";
    if (status == 503)
        head += "Retry-After: " + std::to_string(kRetryAfterSeconds) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

std::string ErrorBody(int status) { return std::to_string(status) + " " + ReasonPhrase(status) + "\n"; }

std::string BuildErrorReply(int status, bool withBody)
{
    const std::string body = ErrorBody(status);
    return BuildResponseHead(status, "text/plain", body.size()) + (withBody ? body : std::string());
}
