// The test certificate authority of peer_nginx_tls.py, trusted inside the
// Wine prefix only: added to the prefix's machine Root store for as long as
// a TrustedTestAuthority lives (or by trust_test_ca.exe from a script).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace testing_support {

// Adds (remove false) or removes the PEM certificate in pemPath to or from
// the machine Root store. False when the file or the store fails.
inline bool TrustAuthority(const std::string& pemPath, bool remove) {
    std::ifstream in(pemPath, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return false;
    std::string der(size, '\0');
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]), &size, nullptr,
                         nullptr);
    // The registry store behind the machine Root store: Wine's system store
    // adds through its collection but deletes nothing there.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (!root) return false;
    PCCERT_CONTEXT added = nullptr;
    bool ok = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                               size, CERT_STORE_ADD_USE_EXISTING, &added) != FALSE;
    if (ok && remove) {
        PCCERT_CONTEXT held = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, added, nullptr);
        ok = held && CertDeleteCertificateFromStore(held);
    }
    if (added) CertFreeCertificateContext(added);
    CertCloseStore(root, 0);
    return ok;
}

// Trusts the authority named by HTTPS_CA_FILE while it lives.
class TrustedTestAuthority {
public:
    TrustedTestAuthority() : path_(getenv("HTTPS_CA_FILE") ? getenv("HTTPS_CA_FILE") : "") {
        trusted_ = TrustAuthority(path_, false);
    }
    ~TrustedTestAuthority() {
        if (trusted_) TrustAuthority(path_, true);
    }
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;
    bool Trusted() const { return trusted_; }

private:
    std::string path_;
    bool trusted_ = false;
};

}  // namespace testing_support
