// Handles that close themselves when they go out of scope, so that every
// early return releases what the function opened.
#pragma once

#include <windows.h>
#include <winsvc.h>

template <typename Handle, typename Closer>
class Scoped {
public:
    Scoped() = default;
    explicit Scoped(Handle h) : h_(h) {}
    ~Scoped() { reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    Handle get() const { return h_; }
    bool valid() const { return Closer::IsValid(h_); }
    explicit operator bool() const { return valid(); }
    void reset(Handle h = Handle{})
    {
        if (valid())
            Closer::Close(h_);
        h_ = h;
    }
    // Hands the handle over to the caller, who closes it.
    Handle release()
    {
        Handle h = h_;
        h_ = Handle{};
        return h;
    }

private:
    Handle h_ = Handle{};
};

// Kernel objects: both null (events, threads, processes) and
// INVALID_HANDLE_VALUE (files, snapshots) mean "none".
struct KernelHandleCloser {
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
using ScopedHandle = Scoped<HANDLE, KernelHandleCloser>;

struct RegKeyCloser {
    static bool IsValid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
using ScopedKey = Scoped<HKEY, RegKeyCloser>;

struct ServiceHandleCloser {
    static bool IsValid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using ScopedService = Scoped<SC_HANDLE, ServiceHandleCloser>;
