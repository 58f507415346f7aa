// Helpers of the watchdog tests.
#include "watchdog_testing.h"

#include <cstdlib>

#include "scoped_handle.h"
#include "testsupport.h"

namespace wdtest {

namespace {

constexpr wchar_t kRecordKeyPath[] = L"SOFTWARE\\ZorvaneIS";

size_t LogSize()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(kServiceLogPath, GetFileExInfoStandard, &data))
        return 0;
    return static_cast<size_t>(data.nFileSizeLow);
}

// The log's bytes from `offset` on; it is read as a reader that lets the
// service go on writing.
std::string ReadFrom(size_t offset)
{
    ScopedHandle file(CreateFileA(kServiceLogPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file)
        return bytes;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
        return bytes;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0)
        bytes.append(buffer, n);
    return bytes;
}

bool Matches(const std::string& line, const std::string& message, bool prefixOnly)
{
    return prefixOnly ? line.compare(0, message.size(), message) == 0 : line == message;
}

}  // namespace

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

LogWatch::LogWatch() : start_(LogSize()) {}

std::vector<std::string> LogWatch::Lines() const
{
    const std::string bytes = ReadFrom(start_);
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos)
            break;  // a line still being written
        lines.push_back(bytes.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::vector<std::string> LogWatch::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines())
        messages.push_back(line.size() >= kLinePrefixLength ? line.substr(kLinePrefixLength) : line);
    return messages;
}

size_t LogWatch::Count(const std::string& message, bool prefixOnly) const
{
    size_t count = 0;
    for (const std::string& line : Messages())
        count += Matches(line, message, prefixOnly) ? 1 : 0;
    return count;
}

bool LogWatch::WaitFor(const std::string& message, DWORD timeoutMs, size_t count, bool prefixOnly) const
{
    return WaitUntil([&] { return Count(message, prefixOnly) >= count; }, timeoutMs);
}

void DeleteRecord() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, KEY_WOW64_64KEY, 0); }

bool CreateRecordKey()
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool SetRecordValue(DWORD type, const void* data, DWORD size, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    ScopedKey scoped(key);
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool SetServerExePath(const std::wstring& path)
{
    return SetRecordValue(REG_SZ, path.c_str(), static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
}

std::string PlaceSleeper(const std::string& folder, const std::string& name)
{
    const std::string path = folder + "\\" + name;
    zvtest::MakeFolders(folder);
    zvtest::CopyFileTo(zvtest::HostPath(ZV_SLEEPER_EXE), path);
    return path;
}

std::vector<std::string> SleeperStarts(const std::string& exe)
{
    std::string bytes;
    zvtest::ReadFileBytes(exe + ".starts", bytes);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(bytes.substr(at, end - at));
    return lines;
}

void KillAllFrom(const std::string& exe)
{
    for (DWORD pid : zvtest::FindProcessesByImage(exe))
        zvtest::KillProcess(pid);
}

bool IsAlive(DWORD pid)
{
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

DWORD LaunchedPid(const std::string& message)
{
    const size_t at = message.rfind("(PID=");
    if (message.compare(0, 10, "Launched '") != 0 || at == std::string::npos)
        return 0;
    return static_cast<DWORD>(std::strtoul(message.c_str() + at + 5, nullptr, 10));
}

ScriptedServer::ScriptedServer(int port, std::function<std::string(size_t)> reply, DWORD delayMs)
    : reply_(std::move(reply)), delayMs_(delayMs)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    address_.sin_family = AF_INET;
    address_.sin_port = htons(static_cast<u_short>(port));
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) == 0 &&
                 listen(listener_, 4) == 0;
    held_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, 0, Serve, this, 0, nullptr));
}

ScriptedServer::~ScriptedServer()
{
    // Closing the listener does not end an accept under Wine; a last
    // connection does.
    stopping_ = true;
    const SOCKET last = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    connect(last, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    closesocket(last);
    closesocket(listener_);
    WaitForSingleObject(thread_.get(), 5000);
    for (SOCKET s : heldOpen_)
        closesocket(s);
    WSACleanup();
}

DWORD WINAPI ScriptedServer::Serve(LPVOID parameter)
{
    ScriptedServer& server = *static_cast<ScriptedServer*>(parameter);
    for (size_t n = 0;; ++n) {
        const SOCKET client = accept(server.listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET || server.stopping_) {
            closesocket(client);
            return 0;
        }
        std::string head;
        char buffer[4096];
        for (int got; head.find("\r\n\r\n") == head.npos && (got = recv(client, buffer, sizeof buffer, 0)) > 0;)
            head.append(buffer, static_cast<size_t>(got));
        const std::string reply = server.reply_(n);
        if (reply.empty()) {
            server.heldOpen_.push_back(client);
            SetEvent(server.held_.get());
            continue;
        }
        Sleep(server.delayMs_);
        const std::string answer = "HTTP/1.1 " + reply + "Content-Length: 0\r\n\r\n";
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        closesocket(client);
    }
}

}  // namespace wdtest
