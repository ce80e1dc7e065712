// The two working directories of pennant under the all-users application
// data folder, computed once and cached.
#pragma once

#include <string>

namespace pennant {

// "<common app data>\Aldermoor\Quillon\2.0", where the log lives.
std::string GetAppDataDirectory();

// "<common app data>\Aldermoor\Quillon\download", where installers are kept.
std::string GetDownloadDirectory();

// The lookup both getters run on a cache miss, exposed so the fallbacks can
// be exercised with other base folders. `commonBase` is the all-users folder
// and `commonOk` whether asking the shell for it succeeded. Returns the
// directory text to cache (possibly empty).
std::string LookupWorkDirectory(const std::string& commonBase, bool commonOk,
                                const char* lastComponent);

// Forgets both cached texts so the next getter call computes them again.
void ResetWorkDirectoryCache();

}  // namespace pennant
