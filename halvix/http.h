// Request handling of the stand-in web server: reading the request head,
// mapping its target onto the document root and deciding the reply. No
// sockets here, so that all of it can be tested directly.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kMaxHeadBytes = 8192;  // request line and headers with the blank line

enum class HeadState { Incomplete, Complete, TooLarge };

// Looks for the end of the request head in what has been received so far;
// on Complete, `head` holds it without the blank line that ends it. Lines
// may end in CRLF or a bare LF; `head` has CRLF throughout.
HeadState FindRequestHead(const std::string& received, std::string& head);

// The reply to a head that did not fit: 414 when the request line alone
// does not end within the limit, 431 when the headers made it too long.
int OversizeStatus(const std::string& received);

struct Request {
    std::string method;
    std::string target;
    std::string version;
};

// False when `head` is not a well-formed HTTP/1.0 or HTTP/1.1 request head.
bool ParseRequestHead(const std::string& head, Request& request);

// Maps a request target onto a path below `docRoot` (no trailing separator
// needed). False when the target is malformed or could name anything outside
// the document root: "..", backslashes, drives, data streams, devices,
// control bytes, bad escapes. The server answers all of these alike with 400,
// never 404, so that a refused target and a missing file stay apart.
bool MapTargetToPath(const std::string& docRoot, const std::string& target, std::string& path);

// True when Windows opens a device for a file of this name (any extension,
// blanks before it, any letter case): CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// COM1 to COM9 and LPT1 to LPT9. `codePage` is the one its bytes are read in:
// CP_ACP for what goes to CreateFileA.
bool IsDeviceName(const std::string& segment, unsigned int codePage);

const char* ContentTypeFor(const std::string& path);

struct ReplyPlan {
    int status = 400;
    bool withBody = true;  // false for HEAD
    std::string filePath;  // with status 200: the file to send
};

// Decides the reply to a complete request head.
ReplyPlan PlanReply(const std::string& docRoot, const std::string& head);

// Status line and headers, with the blank line that ends them.
std::string BuildResponseHead(int status, const char* contentType, unsigned long long contentLength);

// A whole error reply: head and, unless `withBody` is false, the short text body.
std::string BuildErrorReply(int status, bool withBody = true);

// The short text body of an error reply.
std::string ErrorBody(int status);
