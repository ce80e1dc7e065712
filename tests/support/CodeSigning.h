// Signed copies of test files from peer --codesign (peer_codesign.py), and
// the machine policy that names the publishers pennant trusts.
#pragma once

#include "HttpPeers.h"
#include "TestFiles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

// The subject common name of the peer's signers "right", "untrusted" and "expired".
constexpr wchar_t TestPublisher[] = L"Aldermoor Test Publisher";

// `bytes` signed by the peer's `signer`; empty when the peer failed or is absent.
inline std::string SignedCopy(const std::string& bytes, const char* signer) {
    static int made = 0;
    const std::string name = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made);
    const std::string request = Env("CODESIGN_INBOX") + "\\" + name + "@" + signer;
    WriteFile(request + ".tmp", bytes);
    if (!MoveFileA((request + ".tmp").c_str(), request.c_str())) return std::string();
    const std::string out = Env("CODESIGN_OUTBOX") + "\\" + name;
    for (int i = 0; i < 600 && !FileExists(out) && !FileExists(out + ".failed"); ++i) Sleep(50);
    const std::string copy = ReadFile(out);
    DeleteFileA(out.c_str());
    return copy;
}

// HKLM\SOFTWARE\Policies\pennant, TrustedPublishers in the 64-bit view
// (where a 32-bit pennant on 64-bit Windows reads it) while this lives.
class PublisherPolicy {
public:
    // REG_MULTI_SZ of `names`, or another `type` with the same bytes.
    explicit PublisherPolicy(const std::vector<std::wstring>& names, DWORD type = REG_MULTI_SZ) {
        std::wstring block;
        for (const auto& name : names) block += name + L'\0';
        block += L'\0';
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\pennant", 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        set_ = RegSetValueExW(key, L"TrustedPublishers", 0, type,
                              reinterpret_cast<const BYTE*>(block.data()),
                              static_cast<DWORD>(block.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~PublisherPolicy() {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\pennant", KEY_WOW64_64KEY, 0);
    }
    PublisherPolicy(const PublisherPolicy&) = delete;
    PublisherPolicy& operator=(const PublisherPolicy&) = delete;
    bool Set() const { return set_; }

private:
    bool set_ = false;
};

}  // namespace testing_support
