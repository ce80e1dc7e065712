#include "com/ComServer.h"

#include <oleauto.h>

#include <atomic>
#include <mutex>

namespace pcg {
namespace {

std::atomic<long> serverCount{0};

std::mutex typeLibLock;
ITypeLib* typeLib = nullptr;

}  // namespace

void ServerAddRef() noexcept { ++serverCount; }
void ServerRelease() noexcept { --serverCount; }
long ServerCount() noexcept { return serverCount.load(); }

HMODULE ServerModule() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ServerModule), &module);
    return module;
}

std::wstring ServerPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(ServerModule(), &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

ITypeLib* ServerTypeLib() noexcept {
    try {
        std::lock_guard<std::mutex> hold(typeLibLock);
        if (!typeLib) {
            std::wstring path = ServerPath();
            if (path.empty() || FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLib))) typeLib = nullptr;
        }
        return typeLib;
    } catch (...) {
        return nullptr;
    }
}

Microsoft::WRL::ComPtr<ITypeInfo> ServerTypeInfo(REFGUID guid) noexcept {
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    ITypeLib* library = ServerTypeLib();
    if (library) library->GetTypeInfoOfGuid(guid, info.GetAddressOf());
    return info;
}

void ReleaseServerTypeLib() noexcept {
    std::lock_guard<std::mutex> hold(typeLibLock);
    if (typeLib) typeLib->Release();
    typeLib = nullptr;
}

}  // namespace pcg
