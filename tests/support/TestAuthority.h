// The test certificate authority of peer_nginx_tls.py, trusted inside the
// Wine prefix only: in the prefix's machine Root store while a
// TrustedTestAuthority lives (or by trust_test_ca.exe from a script).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <string>

#include "TestFiles.h"

namespace testing_support {

// Adds the PEM certificate at pemPath to the machine Root store, or removes it.
inline bool TrustAuthority(const std::string& pemPath, bool remove) {
    const std::string pem = ReadFile(pemPath);
    std::string der(pem.size(), '\0');
    DWORD size = static_cast<DWORD>(der.size());
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]), &size,
                              nullptr, nullptr))
        return false;
    // The registry store behind the machine Root store: Wine's system store
    // adds through its collection but deletes nothing there.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    PCCERT_CONTEXT added = nullptr;
    bool ok = root && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                       size, CERT_STORE_ADD_USE_EXISTING, &added);
    if (ok && remove) {
        PCCERT_CONTEXT held = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, added, nullptr);
        ok = held && CertDeleteCertificateFromStore(held);
    }
    if (added) CertFreeCertificateContext(added);
    if (root) CertCloseStore(root, 0);
    return ok;
}

// Trusts the authority at HTTPS_CA_FILE (published by the peer), or at the
// file another variable names (CODESIGN_CA_FILE), while it lives.
class TrustedTestAuthority {
public:
    explicit TrustedTestAuthority(const char* variable = "HTTPS_CA_FILE")
        : path_(getenv(variable)), trusted_(path_ && TrustAuthority(path_, false)) {}
    ~TrustedTestAuthority() {
        if (trusted_) TrustAuthority(path_, true);
    }
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;
    bool Trusted() const { return trusted_; }

private:
    const char* path_;
    bool trusted_;
};

}  // namespace testing_support
