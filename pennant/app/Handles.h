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

    // For an API's out-parameter: closes what is held and lends the slot,
    // which then owns whatever the call writes into it.
    Handle* Receive() {
        Reset();
        return &handle_;
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

struct IconTraits {
    using Handle = HICON;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::DestroyIcon(h); }
};
using UniqueIcon = UniqueHandle<IconTraits>;

struct MenuTraits {
    using Handle = HMENU;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::DestroyMenu(h); }
};
using UniqueMenu = UniqueHandle<MenuTraits>;

struct GlobalMemoryTraits {
    using Handle = HGLOBAL;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::GlobalFree(h); }
};
using UniqueGlobalMemory = UniqueHandle<GlobalMemoryTraits>;

// A GDI object selected into a device context for this owner's lifetime: the
// previous object is selected back, then the owned one is deleted.
class SelectedGdiObject {
public:
    SelectedGdiObject(HDC dc, HGDIOBJ object)
        : dc_(dc), object_(object), previous_(::SelectObject(dc, object)) {}
    ~SelectedGdiObject() { ::SelectObject(dc_, previous_); }
    SelectedGdiObject(const SelectedGdiObject&) = delete;
    SelectedGdiObject& operator=(const SelectedGdiObject&) = delete;

private:
    HDC dc_;
    UniqueGdiObject object_;  // deleted after the previous object is back
    HGDIOBJ previous_;
};

}  // namespace pennant
