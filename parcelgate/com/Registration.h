// What DllRegisterServer and DllUnregisterServer write and remove.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace pcg {

// One registry value: key below the root, value name ("" for the default
// value) and text.
struct RegistryValue {
    std::wstring key;
    std::wstring name;
    std::wstring value;
};

// What one coclass registers.
struct ClassRegistration {
    std::wstring clsid;        // registry text form, with braces
    std::wstring progId;       // "Parcelgate.NetFileEngine"
    std::wstring description;  // the coclass's help string, may be empty
    std::wstring serverPath;   // path written under InprocServer32
    std::wstring version;      // type library version, "1.0"
    std::wstring libid;        // registry text form, with braces
};

// The values of one class in the order they are written.
std::vector<RegistryValue> ClassValues(const ClassRegistration& entry);

// The keys of one class in the order they are deleted.
std::vector<std::wstring> ClassKeysToDelete(const ClassRegistration& entry);

// Writes the values below `root`; throws OleError("Error creating system
// registry entry") with the registry's own error as HRESULT when a key or
// value cannot be made.
void WriteClassValues(HKEY root, const ClassRegistration& entry);

// Deletes the keys below `root`; keys already absent are no failure.
// Returns false when a present key could not be deleted.
bool DeleteClassKeys(HKEY root, const ClassRegistration& entry);

// The path to register for the DLL: its short (8.3) form when the path holds
// a blank and a short form exists, otherwise the path itself.
std::wstring RegisteredServerPath(const std::wstring& path);

// The registrations of the server's factories for the module at `path`.
std::vector<ClassRegistration> ServerRegistrations(const std::wstring& path);

// Registers the type library and both classes under HKEY_CLASSES_ROOT;
// throws on failure.
void RegisterServer();

// Unregisters the type library (when the OLE Automation library offers the
// function) and removes both classes; returns false when something present
// could not be removed.
bool UnregisterServer();

}  // namespace pcg
