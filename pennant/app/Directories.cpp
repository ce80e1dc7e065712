#include "app/Directories.h"

#include <windows.h>
#include <shlobj.h>
#include <direct.h>
#include <io.h>

#include <cstdio>
#include <mutex>

namespace pennant {
namespace {

std::mutex directoryMutex;
std::string appDataDirectory;
std::string downloadDirectory;

bool ExistsAndWritable(const std::string& path) {
    return _access(path.c_str(), 0) == 0 && _access(path.c_str(), 2) == 0;
}

// Creates base\Aldermoor, base\Aldermoor\Quillon and base\Aldermoor\Quillon\last;
// only the last creation decides.
bool MakeThreeLevels(std::string& path, const std::string& base, const char* last) {
    path = base + "\\Aldermoor";
    _mkdir(path.c_str());
    path += "\\Quillon";
    _mkdir(path.c_str());
    path += "\\";
    path += last;
    return _mkdir(path.c_str()) == 0;
}

bool ReadEnvironment(const char* name, std::string& value) {
    char buffer[260];
    DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return false;
    value.assign(buffer, n);
    return true;
}

std::string CachedLookup(std::string& cache, const char* last) {
    std::lock_guard<std::mutex> lock(directoryMutex);
    if (!cache.empty()) return cache;
    char base[MAX_PATH + 1] = {};
    BOOL ok = SHGetSpecialFolderPathA(nullptr, base, CSIDL_COMMON_APPDATA, FALSE);
    if (!ok) base[0] = '\0';
    cache = LookupWorkDirectory(base, ok != FALSE, last);
    return cache;
}

}  // namespace

std::string LookupWorkDirectory(const std::string& commonBase, bool commonOk,
                                const char* lastComponent) {
    std::string path = commonBase + "\\Aldermoor\\Quillon\\" + lastComponent;
    if (ExistsAndWritable(path)) return path;

    if (commonOk && MakeThreeLevels(path, commonBase, lastComponent)) return path;

    // The log may not be open yet, so these go to standard output.
    printf("mkdir Path failed, error=%lu, path=%s\n", GetLastError(), path.c_str());

    std::string base;
    if (!ReadEnvironment("APPDATA", base)) {
        printf("Get APPDATA Path failed: %lu\n", GetLastError());
        if (!ReadEnvironment("TEMP", base)) {
            printf("Get TEMP Path failed: %lu\n", GetLastError());
            fflush(stdout);
            return path;
        }
    }
    fflush(stdout);

    if (MakeThreeLevels(path, base, lastComponent)) return path;
    // A fallback directory left by an earlier run serves as well as a new one.
    if (ExistsAndWritable(path)) return path;
    return std::string();
}

std::string GetAppDataDirectory() { return CachedLookup(appDataDirectory, "2.0"); }

std::string GetDownloadDirectory() { return CachedLookup(downloadDirectory, "download"); }

void ResetWorkDirectoryCache() {
    std::lock_guard<std::mutex> lock(directoryMutex);
    appDataDirectory.clear();
    downloadDirectory.clear();
}

}  // namespace pennant
