#include "http/InstallerTrust.h"

#include "app/Handles.h"
#include "app/Log.h"
#include "app/Policy.h"
#include "app/Text.h"

#include "TrustedPublishersBuiltIn.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// The names of a REG_MULTI_SZ block, up to its first empty one, appended to
// `names`; a REG_SZ, which an administrator may write for one name, is a
// block of one.
void AppendMultiString(const std::vector<wchar_t>& block, std::vector<std::wstring>& names) {
    for (size_t at = 0; at < block.size() && block[at] != L'\0';) {
        std::wstring name(&block[at]);
        at += name.size() + 1;
        names.push_back(std::move(name));
    }
}

// Reads the policy value into `names`. False when it exists but cannot be read.
bool ReadPolicyNames(std::vector<std::wstring>& names) {
    UniqueRegKey key;
    LSTATUS status = OpenPolicyKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        Log(LogError, "open trusted publisher policy failed, errno = %d", static_cast<int>(status));
        return false;
    }
    // The value may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD bytes = 0;
        status = RegGetValueW(key.Get(), nullptr, TrustedPublishersPolicyValue,
                              RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) return true;
        if (status != ERROR_SUCCESS) break;
        std::vector<wchar_t> block(bytes / sizeof(wchar_t) + 2, L'\0');
        bytes = static_cast<DWORD>(block.size() * sizeof(wchar_t));
        status = RegGetValueW(key.Get(), nullptr, TrustedPublishersPolicyValue,
                              RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ, nullptr, block.data(), &bytes);
        if (status == ERROR_MORE_DATA) continue;
        if (status == ERROR_FILE_NOT_FOUND) return true;
        if (status != ERROR_SUCCESS) break;
        AppendMultiString(block, names);
        return true;
    }
    Log(LogError, "read trusted publisher policy failed, errno = %d", static_cast<int>(status));
    return false;
}

// One WinVerifyTrust verification of a held file; its state is closed on
// destruction, whatever the verification answered.
class AuthenticodeVerification {
public:
    AuthenticodeVerification(HANDLE file, const std::wstring& path) : path_(path) {
        fileInfo_.cbStruct = sizeof fileInfo_;
        fileInfo_.pcwszFilePath = path_.c_str();
        fileInfo_.hFile = file;  // the held file is the file judged
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &fileInfo_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
        result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    ~AuthenticodeVerification() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    AuthenticodeVerification(const AuthenticodeVerification&) = delete;
    AuthenticodeVerification& operator=(const AuthenticodeVerification&) = delete;

    LONG Result() const { return result_; }

    // The first signer as the provider saw it; null when it kept none.
    CRYPT_PROVIDER_SGNR* Signer() const {
        CRYPT_PROVIDER_DATA* provider = Provider();
        return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    }

    // The first error of the steps that judge the file and its signature
    // (0 when none): a result about revocation says nothing of the digest.
    LONG FileOrSignatureError() const {
        const CRYPT_PROVIDER_DATA* provider = Provider();
        if (!provider || !provider->padwTrustStepErrors) return TRUST_E_SYSTEM_ERROR;
        for (DWORD step : {DWORD{TRUSTERROR_STEP_FINAL_OBJPROV}, DWORD{TRUSTERROR_STEP_FINAL_SIGPROV}})
            if (step < provider->cdwTrustStepErrors && provider->padwTrustStepErrors[step] != 0)
                return static_cast<LONG>(provider->padwTrustStepErrors[step]);
        return 0;
    }

private:
    CRYPT_PROVIDER_DATA* Provider() const {
        return data_.hWVTStateData ? WTHelperProvDataFromStateData(data_.hWVTStateData) : nullptr;
    }

    std::wstring path_;
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO fileInfo_ = {};
    WINTRUST_DATA data_ = {};
    LONG result_ = TRUST_E_SYSTEM_ERROR;
};

// Which check a trust code stands for, in the refusal's log line.
const char* FailedCheck(LONG code) {
    switch (static_cast<HRESULT>(code)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
        return "not signed";
    case TRUST_E_PROVIDER_UNKNOWN:
        return "no trust provider for the file";
    case TRUST_E_BAD_DIGEST:
    case CRYPT_E_HASH_VALUE:
        return "altered after signing";
    case TRUST_E_NO_SIGNER_CERT:
        return "no signer certificate";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_UNTRUSTEDTESTROOT:
        return "untrusted root";
    case TRUST_E_EXPLICIT_DISTRUST:
        return "explicitly distrusted";
    case CERT_E_EXPIRED:
        return "signer expired without a valid timestamp";
    case CERT_E_REVOKED:
    case CRYPT_E_REVOKED:
        return "signer revoked";
    case CERT_E_WRONG_USAGE:
        return "not a code signing certificate";
    default:
        return "signature not trusted";
    }
}

// Soft-fail: a revocation list that cannot be reached is no verdict; the
// explicit chain check below ignores such unknowns and still fails a
// certificate the list revokes.
bool RevocationUnknown(LONG code) {
    const HRESULT h = static_cast<HRESULT>(code);
    return h == CERT_E_REVOCATION_FAILURE || h == CRYPT_E_REVOCATION_OFFLINE ||
           h == CRYPT_E_NO_REVOCATION_CHECK;
}

// The chain policy's own error for `chain` (0 when it passes); a policy that
// cannot be evaluated at all is an untrusted signature.
LONG ChainPolicyError(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain) {
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(policy, chain, &para, &status)) {
        Log(LogError, "CertVerifyCertificateChainPolicy failed, errno = %d", LastError());
        return TRUST_E_SYSTEM_ERROR;
    }
    return static_cast<LONG>(status.dwError);
}

PCCERT_CONTEXT LeafOf(PCCERT_CHAIN_CONTEXT chain) {
    if (!chain || chain->cChain == 0 || !chain->rgpChain[0] ||
        chain->rgpChain[0]->cElement == 0 || !chain->rgpChain[0]->rgpElement[0])
        return nullptr;
    return chain->rgpChain[0]->rgpElement[0]->pCertContext;
}

// An expired signer counts only when a valid timestamp says it signed while
// its certificate was valid. The provider verifies a timestamped chain as of
// the stamp's time, so this is mostly the place that says no.
bool TimestampedWhileValid(const CRYPT_PROVIDER_SGNR& signer) {
    if (signer.csCounterSigners == 0 || !signer.pasCounterSigners) return false;
    const CRYPT_PROVIDER_SGNR& stamp = signer.pasCounterSigners[0];
    if (stamp.dwError != 0 || !stamp.pChainContext) return false;
    if (ChainPolicyError(CERT_CHAIN_POLICY_AUTHENTICODE_TS, stamp.pChainContext) != 0)
        return false;
    // Every certificate of the signer's chain, not only its own, at the stamp's time.
    FILETIME at = signer.sftVerifyAsOf;
    const CERT_SIMPLE_CHAIN* chain = signer.pChainContext->rgpChain[0];
    for (DWORD i = 0; i < chain->cElement; ++i)
        if (CertVerifyTimeValidity(&at, chain->rgpElement[i]->pCertContext->pCertInfo) != 0)
            return false;
    return true;
}

// The subject's common name; empty when it has none.
std::wstring CommonName(PCCERT_CONTEXT certificate) {
    const void* oid = szOID_COMMON_NAME;
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                            const_cast<void*>(oid), nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring name(length, L'\0');
    const DWORD written = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                             const_cast<void*>(oid), &name[0], length);
    name.resize(written > 0 ? written - 1 : 0);
    return name;
}

bool Refuse(const std::string& path, const char* check, LONG code, const std::wstring& signer) {
    Log(LogWarning, "installer trust check failed for file %s, check = %s, code = 0x%08lx, signer = %s",
        path.c_str(), check, static_cast<unsigned long>(code),
        signer.empty() ? "(none)" : WideToAnsi(signer).c_str());
    return false;
}

}  // namespace

std::vector<std::wstring> BuiltInTrustedPublishers() {
    std::vector<std::wstring> names;
    for (const wchar_t* const* name = BuiltInPublisherNames; *name; ++name)
        if (**name) names.emplace_back(*name);
    return names;
}

TrustedPublishers ReadTrustedPublishers(const std::vector<std::wstring>& builtIn) {
    TrustedPublishers publishers;
    publishers.names = builtIn;
    publishers.policyUnreadable = !ReadPolicyNames(publishers.names);
    return publishers;
}

bool CheckInstallerTrust(HANDLE file, const std::string& path,
                         const TrustedPublishers& publishers) {
    if (!publishers.Configured()) {
        Log(LogWarning, "no trusted publisher configured, unsigned installers are allowed");
        return true;
    }
    if (publishers.policyUnreadable)
        return Refuse(path, "trusted publisher policy unreadable", TRUST_E_SYSTEM_ERROR, L"");

    const AuthenticodeVerification verification(file, AnsiToWide(path));
    const LONG verified = verification.Result();
    if (verified != 0 && !RevocationUnknown(verified))
        return Refuse(path, FailedCheck(verified), verified, L"");
    if (verified != 0) {
        // Soft-fail on revocation only: the file's digest and its signature
        // must still have passed their own steps.
        const LONG step = verification.FileOrSignatureError();
        if (step != 0 && !RevocationUnknown(step)) return Refuse(path, FailedCheck(step), step, L"");
    }

    // The provider's answer alone is not enough (Wine's passes unknown
    // roots and expired signers): the signer's own chain is judged again.
    const CRYPT_PROVIDER_SGNR* signer = verification.Signer();
    const PCCERT_CONTEXT leaf = signer ? LeafOf(signer->pChainContext) : nullptr;
    if (!leaf) return Refuse(path, "no signer chain", TRUST_E_NO_SIGNER_CERT, L"");
    const std::wstring name = CommonName(leaf);
    // An expired signer is the chain check's to judge, with its timestamp.
    if (signer->dwError != 0 && signer->dwError != static_cast<DWORD>(CERT_E_EXPIRED) &&
        !RevocationUnknown(static_cast<LONG>(signer->dwError)))
        return Refuse(path, FailedCheck(static_cast<LONG>(signer->dwError)),
                      static_cast<LONG>(signer->dwError), name);
    LONG chain = ChainPolicyError(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext);
    if (chain == CERT_E_EXPIRED && TimestampedWhileValid(*signer)) chain = 0;
    if (chain != 0) return Refuse(path, FailedCheck(chain), chain, name);

    if (name.empty() ||
        std::find(publishers.names.begin(), publishers.names.end(), name) == publishers.names.end())
        return Refuse(path, "publisher not trusted", TRUST_E_SUBJECT_NOT_TRUSTED, name);
    Log(LogProgress, "installer trust check : PASS, signer = %s", WideToAnsi(name).c_str());
    return true;
}

}  // namespace pennant
