// Move-only owners for Win32 handles: one type per handle kind, closed in the
// destructor with the caller's last-error value preserved.
#pragma once

#include <windows.h>

#include <utility>

namespace pennant {

template <class Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : handle_(h) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    bool Valid() const { return Traits::Valid(handle_); }
    explicit operator bool() const { return Valid(); }
    Handle Get() const { return handle_; }

    [[nodiscard]] Handle Release() {
        return std::exchange(handle_, Traits::Invalid());
    }

    void Reset(Handle h = Traits::Invalid()) {
        if (Traits::Valid(handle_)) {
            DWORD err = ::GetLastError();
            Traits::Close(handle_);
            ::SetLastError(err);
        }
        handle_ = h;
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Kernel objects whose failure value is INVALID_HANDLE_VALUE or null
// (files, snapshots, threads, events, mappings, processes).
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { ::CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::RegCloseKey(h); }
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

struct MappedViewTraits {
    using Handle = const void*;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::UnmapViewOfFile(h); }
};
using UniqueMappedView = UniqueHandle<MappedViewTraits>;

struct GdiObjectTraits {
    using Handle = HGDIOBJ;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::DeleteObject(h); }
};
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;

}  // namespace pennant
