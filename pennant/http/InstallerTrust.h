// Who may publish the installers pennant runs elevated, and the Authenticode
// check of a held installer against them. The task never takes part: the
// publishers come from the build and from the machine policy only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace pennant {

// The publishers whose signed installers may run, each a signer's subject
// common name compared exactly.
struct TrustedPublishers {
    std::vector<std::wstring> names;
    // The policy value exists but could not be read: nothing is trusted
    // then, so a damaged policy never turns the check off.
    bool policyUnreadable = false;

    bool Configured() const { return policyUnreadable || !names.empty(); }
};

// The machine policy's value an administrator sets (REG_MULTI_SZ).
constexpr wchar_t TrustedPublishersPolicyValue[] = L"TrustedPublishers";

// The list built in (CMake option PENNANT_TRUSTED_PUBLISHERS).
std::vector<std::wstring> BuiltInTrustedPublishers();

// `builtIn` joined with the machine policy value, read from the 64-bit
// registry view on 64-bit Windows. A missing key or value adds nothing.
TrustedPublishers ReadTrustedPublishers(const std::vector<std::wstring>& builtIn);
inline TrustedPublishers ReadTrustedPublishers() {
    return ReadTrustedPublishers(BuiltInTrustedPublishers());
}

// True when the installer open as `file` (read access; `path` names it for
// the trust provider and the log) may run: with no publisher configured
// always (logged once); otherwise only when its Authenticode signature is
// intact, its signer's chain ends in a trusted root, is time-valid (or was
// timestamped while it was) and is not revoked, and the signer's common name
// is among `publishers`. A refusal logs the check that failed and the signer.
bool CheckInstallerTrust(HANDLE file, const std::string& path,
                         const TrustedPublishers& publishers);

}  // namespace pennant
