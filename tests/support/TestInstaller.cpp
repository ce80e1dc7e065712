// test_installer.exe: a stand-in for a product installer, for the tests and
// the demo. The shell starts it without parameters, so it reads what to do
// from the plan appended to its own file (TestInstallerPlan.h):
//
//   key=HKEY_LOCAL_MACHINE\SOFTWARE\Maker\Product   product key to write
//   view=64|32                 registry view of the key (default 64)
//   path=C:\Program Files\P    the "Path" value; the directory is created
//   mkdir=0                    ... unless this says no
//   version=2.0.1              the "Version" value (not written when absent)
//   filepath=@exe|<text>       the "FilePath" value: the product executable's
//                              path, or the text as given (absent: not written)
//   exe=Product.exe            product executable written below path ...
//   exedir=bin\x64             ... in this subdirectory (default: path itself)
//   fileversion=2.0.1.0        the executable's fixed file version (1.0.0.0)
//   exit=0                     exit code
//   forever=1                  after the work, sleep until killed
//   delay=500                  milliseconds to wait before the work
//   selfshare=read             reads its own image sharing only reading
//
// The product executable is this program's own image (without the plan)
// whose version resource carries the chosen file version. Exit codes of its
// own failures: 240 no plan, 241 directory, 242 executable, 243 registry, 244 self.
#include "TestInstallerPlan.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

using testing_support::ParsePlan;
using testing_support::SplitPlan;

namespace {

std::string Field(const std::map<std::string, std::string>& plan, const char* name,
                  const char* fallback = "") {
    const auto found = plan.find(name);
    return found == plan.end() ? fallback : found->second;
}

bool ReadWholeFile(const std::string& path, DWORD share, std::string& bytes) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) != 0;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
             read == bytes.size();
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

// Creates the directory and every missing one above it.
bool MakeDirectories(const std::string& path) {
    for (size_t at = path.find('\\', 3); ; at = path.find('\\', at + 1)) {
        const std::string part = path.substr(0, at);
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (at == std::string::npos) return true;
    }
}

// File offset of a relative virtual address of the image in `bytes`.
bool FileOffsetOf(const std::string& bytes, DWORD rva, size_t& offset) {
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    if (static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS) > bytes.size())
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva >= section->VirtualAddress &&
            rva < section->VirtualAddress + section->SizeOfRawData) {
            offset = section->PointerToRawData + (rva - section->VirtualAddress);
            return true;
        }
    }
    return false;
}

// Sets file and product version of the fixed version block of this
// program's image, given as its file bytes.
bool SetFixedVersion(std::string& bytes, const std::string& version) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (sscanf(version.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(VS_VERSION_INFO), RT_VERSION);
    if (!found) return false;
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(self, found)));
    const DWORD length = SizeofResource(self, found);
    size_t start = 0;
    if (!data || !FileOffsetOf(bytes, static_cast<DWORD>(data - reinterpret_cast<BYTE*>(self)),
                               start))
        return false;
    const size_t end = start + length < bytes.size() ? start + length : bytes.size();
    for (size_t at = start; at + sizeof(VS_FIXEDFILEINFO) <= end; at += 4) {
        VS_FIXEDFILEINFO info;
        memcpy(&info, bytes.data() + at, sizeof info);
        if (info.dwSignature != VS_FFI_SIGNATURE) continue;
        info.dwFileVersionMS = info.dwProductVersionMS = MAKELONG(b, a);
        info.dwFileVersionLS = info.dwProductVersionLS = MAKELONG(d, c);
        memcpy(&bytes[at], &info, sizeof info);
        return true;
    }
    return false;
}

bool WriteProductKey(const std::map<std::string, std::string>& plan, const std::string& exePath) {
    const std::string key = Field(plan, "key");
    const size_t slash = key.find('\\');
    if (slash == std::string::npos) return false;
    const std::string rootName = key.substr(0, slash);
    HKEY root = nullptr;
    const char* name = rootName.c_str();
    if (_stricmp(name, "HKEY_LOCAL_MACHINE") == 0 || _stricmp(name, "HKLM") == 0)
        root = HKEY_LOCAL_MACHINE;
    else if (_stricmp(name, "HKEY_CURRENT_USER") == 0 || _stricmp(name, "HKCU") == 0)
        root = HKEY_CURRENT_USER;
    else
        return false;
    const REGSAM view = Field(plan, "view", "64") == "32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY product = nullptr;
    if (RegCreateKeyExA(root, key.c_str() + slash + 1, 0, nullptr, 0, KEY_WRITE | view, nullptr,
                        &product, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    auto set = [&](const char* name, const std::string& text) {
        ok = ok && RegSetValueExA(product, name, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
    };
    if (plan.count("path")) set("Path", Field(plan, "path"));
    if (plan.count("version")) set("Version", Field(plan, "version"));
    if (plan.count("filepath")) {
        const std::string filePath = Field(plan, "filepath");
        set("FilePath", filePath == "@exe" ? exePath : filePath);
    }
    RegCloseKey(product);
    return ok;
}

int Install() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    // Found first, the plan may ask for another read of the image at once.
    std::string bytes, program, planText;
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (n == 0 || n >= sizeof self || !ReadWholeFile(self, all, bytes)) return 240;
    SplitPlan(bytes, program, planText);
    if (planText.empty()) return 240;
    const auto plan = ParsePlan(planText);
    if (Field(plan, "selfshare") == "read" && !ReadWholeFile(self, FILE_SHARE_READ, bytes))
        return 244;

    if (const int delay = atoi(Field(plan, "delay", "0").c_str()))
        Sleep(static_cast<DWORD>(delay));

    const std::string path = Field(plan, "path");
    if (!path.empty() && Field(plan, "mkdir", "1") != "0" && !MakeDirectories(path)) return 241;

    std::string exePath;
    if (!Field(plan, "exe").empty()) {
        std::string directory = path;
        if (!Field(plan, "exedir").empty()) directory += "\\" + Field(plan, "exedir");
        exePath = directory + "\\" + Field(plan, "exe");
        if (!MakeDirectories(directory) ||
            !SetFixedVersion(program, Field(plan, "fileversion", "1.0.0.0")) ||
            !WriteWholeFile(exePath, program))
            return 242;
    }

    if (plan.count("key") && !WriteProductKey(plan, exePath)) return 243;

    if (Field(plan, "forever") == "1") Sleep(INFINITE);
    return atoi(Field(plan, "exit", "0").c_str());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return Install(); }
