// Whether the product now has the promised version: its registry key in the
// view the task names, the version from the registry or from the product
// executable's version resource, and the installed directory and file.
#pragma once

#include <string>

namespace pennant {

struct InstalledState {
    std::string path;      // installed directory ("Path")
    std::string version;   // "Version", or the executable's file version
    std::string filePath;  // "FilePath"; empty when the key has none
};

// Reads the key (e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\Maker\Product") in the
// 64-bit view when `view64`, else the 32-bit view. False after logging why.
bool ReadInstalledState(const std::string& key, const std::string& exe, bool view64,
                        InstalledState& state);

// Version text of the first file called `name` below `directory`, or empty.
std::string VersionOfFileUnder(const std::string& directory, const std::string& name);

// Full path of the first file called `name` (ignoring case) in `directory` or
// below it, depth first; directory reparse points are not followed.
std::string FindFileUnder(const std::string& directory, const std::string& name);

// "a.b.c.d" of the file's fixed version block; false when it has none.
bool FileVersion(const std::string& file, std::string& version);

// True when the key names `version` (ignoring case) and the installed
// directory and, when named, the installed file exist.
bool InstallCheck(const std::string& key, const std::string& exe, const std::string& version,
                  bool view64);

}  // namespace pennant
