#include "workflow/InstallCheck.h"

namespace pennant {

// Placeholder until the check lands: nothing is ever installed.
bool ReadInstalledState(const std::string&, const std::string&, bool, InstalledState&) {
    return false;
}
std::string VersionOfFileUnder(const std::string&, const std::string&) { return {}; }
std::string FindFileUnder(const std::string&, const std::string&) { return {}; }
bool FileVersion(const std::string&, std::string&) { return false; }
bool InstallCheck(const std::string&, const std::string&, const std::string&, bool) {
    return false;
}

}  // namespace pennant
