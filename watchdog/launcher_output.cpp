// The launcher's output in the service log. The reader goes on reading
// whether or not it logs what it reads, so that a launcher is never held up
// by a full pipe, and drops and counts what is over the budget, so that the
// log is never flooded.
#include "launcher_output.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "log.h"
#include "security_descriptor.h"

// The bytes kept of one line: a message keeps at most 2047 units, and no
// code page takes more than 4 bytes for one, so a longer line loses only
// what the log would cut anyway.
constexpr size_t kOutputLineBytes = 4 * kMessageBufferUnits;

// A reader told to finish may still run while the next one starts: the
// lock keeps the two from taking the same place.
struct OutputBudget {
    SRWLOCK lock = SRWLOCK_INIT;
    ULONGLONG minuteMs = 0;
    // When the last lines that reached the log did: a ring, oldest at nextSlot.
    ULONGLONG loggedAt[kOutputLinesPerHour] = {};
    unsigned loggedCount = 0;
    unsigned nextSlot = 0;
    DWORD dropped = 0;
    DWORD droppedBy = 0;
    ULONGLONG firstDropAt = 0;
};

struct OutputReader {
    ScopedHandle pipe;
    ScopedHandle readDone;
    ScopedHandle quit;
    DWORD processId = 0;
    std::shared_ptr<OutputBudget> budget;
    std::string line;
    char buffer[kOutputReadBytes];
};

namespace {

std::atomic<unsigned> PipeSerial{0};

bool Failed(const wchar_t* call)
{
    WriteLog(L"Launcher output not captured: %s failed err=%lu", call, GetLastError());
    return false;
}

// Both ends and NUL. The launcher's are inheritable, as a handle list
// requires; the list keeps them to the launcher. The pipe has one instance
// and is new (FILE_FLAG_FIRST_PIPE_INSTANCE): its one writer is the end
// opened here.
bool CreateOutputPipe(LauncherStdio& stdio)
{
    static const std::wstring sddl = OutputPipeSddl(LesserAccountOwner());
    const std::wstring name = L"\\\\.\\pipe\\ZorvaneISSvc.output." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(++PipeSerial);
    const ScopedDescriptor descriptor(DescriptorFromSddl(sddl.c_str()));
    if (!descriptor)
        return Failed(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    SECURITY_ATTRIBUTES own = {sizeof own, descriptor.get(), FALSE};
    const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    stdio.pipe.reset(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 1, 0, kOutputPipeBytes, 0, &own));
    if (!stdio.pipe)
        return Failed(L"CreateNamedPipeW");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    stdio.output.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                   SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr));
    if (!stdio.output)
        return Failed(L"CreateFileW");
    stdio.input.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                  nullptr));
    if (!stdio.input)
        return Failed(L"CreateFileW");
    return true;
}

bool MakeHandleList(LauncherStdio& stdio)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    stdio.attributes.resize(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(stdio.attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        return Failed(L"InitializeProcThreadAttributeList");
    stdio.startup.lpAttributeList = list;
    // The list points into the record: it must live until CreateProcessW.
    stdio.inherited[0] = stdio.input.get();
    stdio.inherited[1] = stdio.output.get();
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, stdio.inherited, sizeof stdio.inherited,
                                   nullptr, nullptr))
        return Failed(L"UpdateProcThreadAttribute");
    return true;
}

std::wstring FromAnsi(const std::string& bytes)
{
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    std::wstring text(static_cast<size_t>(std::max(units, 0)), L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, &text[0], units);
    // A NUL would end the message where the log masks control characters.
    std::replace(text.begin(), text.end(), L'\0', L'?');
    return text;
}

// True when the line may reach the log; otherwise it is counted.
bool TakeLinePlace(OutputBudget& budget, DWORD processId)
{
    AcquireSRWLockExclusive(&budget.lock);
    const ULONGLONG now = GetTickCount64();
    const bool full = budget.loggedCount == kOutputLinesPerHour;
    const bool allowed = !full || now - budget.loggedAt[budget.nextSlot] >= budget.minuteMs * kMinutesPerHour;
    if (allowed) {
        budget.loggedAt[budget.nextSlot] = now;
        budget.nextSlot = (budget.nextSlot + 1) % kOutputLinesPerHour;
        budget.loggedCount += full ? 0 : 1;
    } else {
        if (budget.dropped++ == 0)
            budget.firstDropAt = now;
        budget.droppedBy = processId;
    }
    ReleaseSRWLockExclusive(&budget.lock);
    return allowed;
}

void LogLine(OutputReader& reader)
{
    if (TakeLinePlace(*reader.budget, reader.processId))
        WriteLog(L"Launcher output (PID=%lu): %s", reader.processId, FromAnsi(reader.line).c_str());
    reader.line.clear();
}

void TakeBytes(OutputReader& reader, DWORD count)
{
    for (const char* byte = reader.buffer; byte != reader.buffer + count; ++byte) {
        if (*byte == '\n') {
            if (!reader.line.empty() && reader.line.back() == '\r')
                reader.line.pop_back();
            LogLine(reader);
        } else if (reader.line.size() < kOutputLineBytes) {
            reader.line.push_back(*byte);
        }
    }
}

// False when told to finish (the read is cancelled then).
bool AwaitRead(OutputReader& reader, OVERLAPPED& overlapped)
{
    const HANDLE handles[] = {reader.quit.get(), reader.readDone.get()};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        return true;
    CancelIoEx(reader.pipe.get(), &overlapped);
    return false;
}

DWORD WINAPI ReadOutput(LPVOID parameter)
{
    OutputReader& reader = *static_cast<OutputReader*>(parameter);
    for (bool finishing = false; !finishing;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = reader.readDone.get();
        // A closed pipe (every writer gone) fails the read at once or later.
        if (!ReadFile(reader.pipe.get(), reader.buffer, sizeof reader.buffer, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            break;
        finishing = !AwaitRead(reader, overlapped);
        // Waits for a cancelled read too: the buffer is the read's until then.
        DWORD count = 0;
        if (!GetOverlappedResult(reader.pipe.get(), &overlapped, &count, TRUE))
            break;
        TakeBytes(reader, count);
        // A launcher that writes without pause completes every read at once.
        finishing = finishing || WaitForSingleObject(reader.quit.get(), 0) == WAIT_OBJECT_0;
    }
    if (!reader.line.empty())
        LogLine(reader);
    return 0;
}

}  // namespace

LauncherStdio::~LauncherStdio()
{
    if (startup.lpAttributeList != nullptr)
        DeleteProcThreadAttributeList(startup.lpAttributeList);
}

void PrepareLauncherStdio(LauncherStdio& stdio)
{
    stdio.captured = CreateOutputPipe(stdio) && MakeHandleList(stdio);
    if (stdio.captured) {
        stdio.startup.StartupInfo.cb = sizeof stdio.startup;
        stdio.startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        stdio.startup.StartupInfo.hStdInput = stdio.input.get();
        stdio.startup.StartupInfo.hStdOutput = stdio.output.get();
        stdio.startup.StartupInfo.hStdError = stdio.output.get();
        return;
    }
    if (stdio.startup.lpAttributeList != nullptr)
        DeleteProcThreadAttributeList(stdio.startup.lpAttributeList);
    stdio.startup = {};
    stdio.startup.StartupInfo.cb = sizeof stdio.startup.StartupInfo;
    stdio.input.reset();
    stdio.output.reset();
    stdio.pipe.reset();
}

LauncherOutput::LauncherOutput() = default;

LauncherOutput::~LauncherOutput() { FinishOutputReader(*this, 0); }

std::shared_ptr<OutputBudget> MakeOutputBudget(DWORD minuteMs)
{
    auto budget = std::make_shared<OutputBudget>();
    budget->minuteMs = minuteMs;
    return budget;
}

void LogDroppedOutput(OutputBudget& budget, bool now)
{
    AcquireSRWLockExclusive(&budget.lock);
    const bool due = budget.dropped > 0 && (now || GetTickCount64() - budget.firstDropAt >= budget.minuteMs);
    const DWORD dropped = due ? budget.dropped : 0;
    const DWORD processId = budget.droppedBy;
    if (due)
        budget.dropped = 0;
    ReleaseSRWLockExclusive(&budget.lock);
    if (due)
        WriteLog(L"Launcher output (PID=%lu): %lu more lines not logged", processId, dropped);
}

void StartOutputReader(LauncherOutput& output, ScopedHandle& pipe, DWORD processId,
                       const std::shared_ptr<OutputBudget>& budget)
{
    if (!pipe)
        return;
    auto reader = std::make_unique<OutputReader>();
    reader->pipe.reset(pipe.release());
    reader->processId = processId;
    reader->budget = budget;
    reader->readDone.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    reader->quit.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!reader->readDone || !reader->quit) {
        Failed(L"CreateEventW");
        return;
    }
    output.thread.reset(CreateThread(nullptr, 0, ReadOutput, reader.get(), 0, nullptr));
    if (!output.thread) {
        Failed(L"CreateThread");
        return;
    }
    output.reader = std::move(reader);
}

void FinishOutputReader(LauncherOutput& output, DWORD drainMs)
{
    if (!output.thread)
        return;
    if (WaitForSingleObject(output.thread.get(), drainMs) != WAIT_OBJECT_0) {
        SetEvent(output.reader->quit.get());
        if (WaitForSingleObject(output.thread.get(), kOutputReaderEndMs) != WAIT_OBJECT_0) {
            // Still at work: its record stays for it rather than being freed under it.
            output.reader.release();
            output.thread.reset();
            return;
        }
    }
    output.thread.reset();
    output.reader.reset();
}
