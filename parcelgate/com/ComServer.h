// Process-wide state of the in-process server: the module count that
// DllCanUnloadNow reads, the module's own path and the embedded type library.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <string>

namespace pcg {

// Live automation objects, outstanding class-factory references and factory
// locks each hold one count; the DLL may be unloaded only at zero.
void ServerAddRef() noexcept;
void ServerRelease() noexcept;
long ServerCount() noexcept;

// The module (DLL, or the executable a test links the server into) that
// holds this code, and its full path.
HMODULE ServerModule() noexcept;
std::wstring ServerPath();

// The type library embedded in ServerModule() as resource "TYPELIB" 1,
// loaded once; a borrowed pointer, or nullptr when it cannot be loaded.
ITypeLib* ServerTypeLib() noexcept;

// The type information of one interface or coclass, or null.
Microsoft::WRL::ComPtr<ITypeInfo> ServerTypeInfo(REFGUID guid) noexcept;

// Drops the cached type library (DLL unload).
void ReleaseServerTypeLib() noexcept;

}  // namespace pcg
