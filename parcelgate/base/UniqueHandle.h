// The one shape of every handle owner of the server: move-only, closes its
// handle in its destructor, Release() hands the handle over. Closing keeps
// the thread's last error, so a failure can still be reported after the
// handle of the failed call is gone.
#pragma once

#include <windows.h>

namespace pcg {

// Traits: `Handle`, `Invalid()`, `Valid(h)`, `Close(h)`.
template <class Traits>
class UniqueOwner {
public:
    using Handle = typename Traits::Handle;

    UniqueOwner() = default;
    explicit UniqueOwner(Handle handle) : handle_(handle) {}
    ~UniqueOwner() { Reset(); }
    UniqueOwner(UniqueOwner&& other) noexcept : handle_(other.Release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;

    bool Valid() const { return Traits::Valid(handle_); }
    Handle Get() const { return handle_; }

    // For functions that return the handle through a pointer.
    Handle* Receive() {
        Reset();
        return &handle_;
    }

    Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void Reset(Handle handle = Traits::Invalid()) {
        if (Valid()) {
            const DWORD error = GetLastError();
            Traits::Close(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { FindClose(handle); }
};

struct RegistryKeyTraits {
    using Handle = HKEY;
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY key) { return key != nullptr; }
    static void Close(HKEY key) { RegCloseKey(key); }
};

// Threads, files, events.
using UniqueHandle = UniqueOwner<KernelHandleTraits>;
using UniqueFindHandle = UniqueOwner<FindHandleTraits>;
using UniqueRegistryKey = UniqueOwner<RegistryKeyTraits>;

}  // namespace pcg
