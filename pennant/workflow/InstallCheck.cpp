#include "workflow/InstallCheck.h"

#include "app/Handles.h"
#include "app/Log.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) { ::FindClose(h); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

constexpr DWORD RegistryTextSize = 260;

// A text value of at most 260 bytes. The registry does not promise a
// terminating zero, so one is added after what was stored. False with the
// error in GetLastError() when the value is missing, longer or not text.
bool ReadTextValue(HKEY key, const char* name, std::string& text) {
    char buffer[RegistryTextSize + 1] = {};
    DWORD type = 0;
    DWORD size = RegistryTextSize;
    const LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        SetLastError(ERROR_UNSUPPORTED_TYPE);
        return false;
    }
    buffer[size < RegistryTextSize ? size : RegistryTextSize] = '\0';
    text = buffer;
    return true;
}

struct RootName {
    const char* name;
    HKEY key;
};
const RootName Roots[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKEY_USERS", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

HKEY RootKey(const std::string& name) {
    for (const RootName& root : Roots)
        if (_stricmp(root.name, name.c_str()) == 0) return root.key;
    return nullptr;
}

}  // namespace

bool ReadInstalledState(const std::string& key, const std::string& exe, bool view64,
                        InstalledState& state) {
    // The task chooses the view, whatever the bitness of this program.
    const REGSAM access = KEY_READ | (view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);

    const size_t slash = key.find('\\');
    std::string rootName = key;
    std::string subkey = key;
    if (slash != std::string::npos) {
        if (slash > 0) rootName = key.substr(0, slash);
        subkey = key.substr(slash + 1);
    }
    const HKEY root = key.empty() ? nullptr : RootKey(rootName);
    if (!root) {
        Log(LogWarning, "Invalid path: %s.", subkey.c_str());
        return false;
    }

    UniqueRegKey product;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, access, product.Receive()) != ERROR_SUCCESS) {
        Log(LogWarning, "Open [%s]  failed for read %d bits place.", subkey.c_str(),
            view64 ? 64 : 32);
        return false;
    }

    if (!ReadTextValue(product.Get(), "Path", state.path)) {
        Log(LogWarning, "%s", "read installed path from Reg failed.");
        return false;
    }

    if (!ReadTextValue(product.Get(), "Version", state.version)) {
        Log(LogWarning, "read version from Reg failed, errno = %d", LastError());
        if (exe.empty()) {
            state.version.clear();
            Log(LogWarning, "exe field is empty, no file to read version from !");
            return false;
        }
        state.version = VersionOfFileUnder(state.path, exe);
        Log(LogProgress, "get version from file: %s", state.path.c_str());
        if (state.version.empty()) return false;
    }

    if (!ReadTextValue(product.Get(), "FilePath", state.filePath)) {
        Log(LogWarning, "read FilePath from Reg failed, skip");
        state.filePath.clear();
    }
    return true;
}

std::string VersionOfFileUnder(const std::string& directory, const std::string& name) {
    const std::string file = FindFileUnder(directory, name);
    if (file.empty()) {
        Log(LogError,
            "can not find any file named '%s' under path '%s', get product version by file failed",
            name.c_str(), directory.c_str());
        return std::string();
    }
    Log(LogProgress, "find target exe at %s", file.c_str());
    std::string version;
    return FileVersion(file, version) ? version : std::string();
}

std::string FindFileUnder(const std::string& directory, const std::string& name) {
    WIN32_FIND_DATAA entry;
    UniqueFindHandle search(FindFirstFileA((directory + "\\*").c_str(), &entry));
    if (!search) {
        Log(LogError, "find first file failed, errno = %d", LastError());
        return std::string();
    }
    do {
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link may lead back up the tree; the
            // product's own files are never reached only through one.
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            std::string found = FindFileUnder(directory + "\\" + entry.cFileName, name);
            if (!found.empty()) return found;
        } else if (_stricmp(entry.cFileName, name.c_str()) == 0) {
            return directory + "\\" + name;
        }
    } while (FindNextFileA(search.Get(), &entry));
    return std::string();
}

bool FileVersion(const std::string& file, std::string& version) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, block.data())) {
        Log(LogError, "GetFileVersionInfoA failed, error=%d", LastError());
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        !fixed || length < sizeof(VS_FIXEDFILEINFO)) {
        Log(LogError, "VerQueryValueA failed, error=%d", LastError());
        return false;
    }
    char text[64];
    snprintf(text, sizeof text, "%d.%d.%d.%d", HIWORD(fixed->dwFileVersionMS),
             LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
             LOWORD(fixed->dwFileVersionLS));
    version = text;
    return true;
}

bool InstallCheck(const std::string& key, const std::string& exe, const std::string& version,
                  bool view64) {
    InstalledState state;
    if (!ReadInstalledState(key, exe, view64, state)) return false;
    if (_stricmp(version.c_str(), state.version.c_str()) != 0) {
        Log(LogError, "version unmatch, %s (curr) != %s (expect), install fail",
            state.version.c_str(), version.c_str());
        return false;
    }
    if (_access(state.path.c_str(), 0) != 0) {
        Log(LogError, "Install failed, install path[%s] is not existent.", state.path.c_str());
        return false;
    }
    if (!state.filePath.empty() && _access(state.filePath.c_str(), 0) != 0) {
        Log(LogError, "Install failed, install file [%s] is not existent.",
            state.filePath.c_str());
        return false;
    }
    if (state.filePath.empty()) Log(LogWarning, "FilePath not found, skip check");
    Log(LogProgress, "Install check : PASS");
    return true;
}

}  // namespace pennant
