#include "com/Registration.h"

#include <oleauto.h>
#include <objbase.h>

#include "com/ClassFactory.h"
#include "com/ComError.h"
#include "com/ComServer.h"
#include "base/UniqueHandle.h"

namespace pcg {
namespace {

const char kRegistryError[] = "Error creating system registry entry";

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    int n = StringFromGUID2(guid, text, sizeof text / sizeof text[0]);
    return n > 0 ? std::wstring(text) : std::wstring();
}

// The type library's attributes: LIBID, version, locale and system kind.
TLIBATTR LibraryAttributes(ITypeLib* library) {
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes)) || !attributes)
        throw OleError(E_FAIL, "Cannot read the type library's attributes");
    TLIBATTR copy = *attributes;
    library->ReleaseTLibAttr(attributes);
    return copy;
}

}  // namespace

std::vector<RegistryValue> ClassValues(const ClassRegistration& entry) {
    const std::wstring classKey = L"CLSID\\" + entry.clsid;
    return {
        {classKey, L"", entry.description},
        {classKey + L"\\InprocServer32", L"", entry.serverPath},
        {classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {entry.progId, L"", entry.description},
        {entry.progId + L"\\Clsid", L"", entry.clsid},
        {classKey + L"\\ProgID", L"", entry.progId},
        {classKey + L"\\Version", L"", entry.version},
        {classKey + L"\\TypeLib", L"", entry.libid},
    };
}

std::vector<std::wstring> ClassKeysToDelete(const ClassRegistration& entry) {
    const std::wstring classKey = L"CLSID\\" + entry.clsid;
    return {
        classKey + L"\\TypeLib", classKey + L"\\Version",        classKey + L"\\ProgID",
        entry.progId + L"\\Clsid", entry.progId,                 classKey + L"\\InprocServer32",
        classKey,
    };
}

void WriteClassValues(HKEY root, const ClassRegistration& entry) {
    for (const RegistryValue& value : ClassValues(entry)) {
        UniqueRegistryKey key;
        LONG status = RegCreateKeyExW(root, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                      nullptr, key.Receive(), nullptr);
        if (status == ERROR_SUCCESS) {
            const BYTE* data = reinterpret_cast<const BYTE*>(value.value.c_str());
            DWORD size = static_cast<DWORD>((value.value.size() + 1) * sizeof(wchar_t));
            status = RegSetValueExW(key.Get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ, data,
                                    size);
        }
        if (status != ERROR_SUCCESS) throw OleError(HRESULT_FROM_WIN32(static_cast<DWORD>(status)), kRegistryError);
    }
}

bool DeleteClassKeys(HKEY root, const ClassRegistration& entry) {
    bool complete = true;
    for (const std::wstring& key : ClassKeysToDelete(entry)) {
        LONG status = RegDeleteKeyW(root, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) complete = false;
    }
    return complete;
}

std::wstring RegisteredServerPath(const std::wstring& path) {
    if (path.find(L' ') == std::wstring::npos) return path;
    DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring shortPath(n, L'\0');
    n = GetShortPathNameW(path.c_str(), &shortPath[0], n);
    if (n == 0 || n >= shortPath.size()) return path;
    shortPath.resize(n);
    return shortPath;
}

std::vector<ClassRegistration> ServerRegistrations(const std::wstring& path) {
    ITypeLib* library = ServerTypeLib();
    if (!library) throw OleError(E_FAIL, "Cannot load the embedded type library");
    TLIBATTR attributes = LibraryAttributes(library);
    const std::wstring version =
        std::to_wstring(attributes.wMajorVerNum) + L"." + std::to_wstring(attributes.wMinorVerNum);

    std::vector<ClassRegistration> registrations;
    size_t count = 0;
    ClassFactory* const* factories = ServerFactories(&count);
    for (size_t i = 0; i < count; ++i) {
        ClassRegistration entry;
        entry.clsid = GuidText(factories[i]->ClassId());
        entry.progId = factories[i]->ProgId();
        entry.description = factories[i]->Description();
        entry.serverPath = RegisteredServerPath(path);
        entry.version = version;
        entry.libid = GuidText(attributes.guid);
        registrations.push_back(entry);
    }
    return registrations;
}

void RegisterServer() {
    const std::wstring path = ServerPath();
    ITypeLib* library = ServerTypeLib();
    if (path.empty() || !library) throw OleError(E_FAIL, "Cannot load the embedded type library");
    HRESULT hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), nullptr);
    if (FAILED(hr)) throw OleError(hr, "Cannot register the type library");
    for (const ClassRegistration& entry : ServerRegistrations(path)) WriteClassValues(HKEY_CLASSES_ROOT, entry);
}

bool UnregisterServer() {
    const std::wstring path = ServerPath();
    ITypeLib* library = ServerTypeLib();
    if (path.empty() || !library) return false;

    // Looked up at run time: old OLE Automation libraries lack it.
    using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    auto unregisterTypeLib = oleaut ? reinterpret_cast<UnRegisterTypeLibFunction>(
                                          reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                                    : nullptr;
    if (unregisterTypeLib) {
        TLIBATTR attributes = LibraryAttributes(library);
        unregisterTypeLib(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum, attributes.lcid,
                          attributes.syskind);
    }

    bool complete = true;
    for (const ClassRegistration& entry : ServerRegistrations(path))
        if (!DeleteClassKeys(HKEY_CLASSES_ROOT, entry)) complete = false;
    return complete;
}

}  // namespace pcg
