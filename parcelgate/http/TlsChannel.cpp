#include "http/TlsChannel.h"

#include <wincrypt.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace pcg {

namespace {

// Room for many records: one receive call brings in several of them, and
// only a record cut at the end is moved to the front.
constexpr size_t kInputSize = 256 * 1024;
// The longest a chain build may spend fetching revocation lists and
// authorities (ms), however long the caller would wait.
constexpr int32_t kMaxFetchTimeout = 15000;
// Without a piece size (a cancel sets 0) a batch is still bounded.
constexpr size_t kMaxBatch = 1 << 20;
constexpr DWORD kOldProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

// A buffer Schannel allocated (ISC_REQ_ALLOCATE_MEMORY).
struct ContextBufferTraits {
    using Handle = void*;
    static void* Invalid() { return nullptr; }
    static bool Valid(void* buffer) { return buffer != nullptr; }
    static void Close(void* buffer) { FreeContextBuffer(buffer); }
};
using ContextBuffer = UniqueOwner<ContextBufferTraits>;

std::string WithCode(const char* text, long code) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
    return std::string(text) + " (" + number + ")";
}

const char* CertificateProblem(DWORD error) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT): return "certificate issued by an untrusted root";
        case static_cast<DWORD>(CERT_E_CHAINING): return "certificate chain does not reach a trusted root";
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return "certificate name does not match the host";
        case static_cast<DWORD>(CERT_E_EXPIRED): return "certificate expired or not yet valid";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE): return "certificate not for server authentication";
        case static_cast<DWORD>(CRYPT_E_REVOKED): return "certificate revoked";
        default: return "certificate refused";
    }
}

// The chain's own verdict, whatever the policy made of it: every error bit
// counts except that revocation could not be asked (soft-fail: an
// unreachable list is no proof of anything, a revoked entry is).
constexpr DWORD kSoftRevocationBits = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

const char* ChainProblem(DWORD bits) {
    struct Bit {
        DWORD bit;
        const char* text;
    };
    static const Bit kBits[] = {
        {CERT_TRUST_IS_REVOKED, "certificate revoked"},
        {CERT_TRUST_IS_NOT_TIME_VALID, "certificate expired or not yet valid"},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "certificate not for server authentication"},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "certificate issued by a certificate that is no authority"},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "certificate signature not valid"},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, "certificate issued by an untrusted root"},
        {CERT_TRUST_IS_PARTIAL_CHAIN, "certificate chain does not reach a trusted root"},
        {CERT_TRUST_IS_EXPLICIT_DISTRUST, "certificate explicitly distrusted"},
    };
    for (const Bit& entry : kBits)
        if (bits & entry.bit) return entry.text;
    return "certificate chain has an error";
}

bool IsSoftRevocationError(DWORD error) {
    return error == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) ||
           error == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE) ||
           error == static_cast<DWORD>(CERT_E_REVOCATION_FAILURE);
}

// The SSL policy's verdict on chain for host: its error, 0 when it holds;
// false, with why, when the check could not run.
bool VerifySslPolicy(PCCERT_CHAIN_CONTEXT chain, std::wstring& host, DWORD& error, std::string& why) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // Revocation is left to the chain's bits (a revoked certificate is
    // refused there), so that the one error the policy reports is another.
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_REVOCATION;
    ssl.pwszServerName = &host[0];
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result = {};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
        why = WithCode("certificate check could not run", static_cast<long>(GetLastError()));
        return false;
    }
    error = result.dwError;
    return true;
}

// Revocation of every certificate but the root, within one overall time
// limit for all the lists it fetches.
constexpr DWORD kRevocationFlags =
    CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;

// The chain is built on a thread of its own: fetching an authority or a
// revocation list may wait on the network for many seconds, and a stop must
// not wait for it. Whoever lets go last frees the job.
struct ChainJob {
    LONG references = 2;
    HMODULE pin = nullptr;  // keeps this code loaded while the thread runs
    PCCERT_CONTEXT certificate = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    DWORD error = 0;
    DWORD flags = 0;         // CertGetCertificateChain's
    DWORD fetchTimeout = 0;  // ms for all the lists and authorities it fetches

    void Release() {
        if (InterlockedDecrement(&references) != 0) return;
        if (chain) CertFreeCertificateChain(chain);
        CertFreeCertificateContext(certificate);
        delete this;
    }
};

DWORD WINAPI BuildChain(void* parameter) {
    ChainJob* job = static_cast<ChainJob*>(parameter);
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The fetches' time limit, below the caller's wait: the default (20 s)
    // could outlast it and turn an unreachable list, which is no refusal,
    // into a time-out.
    chainPara.dwUrlRetrievalTimeout = job->fetchTimeout;
    if (!CertGetCertificateChain(nullptr, job->certificate, nullptr, job->certificate->hCertStore, &chainPara,
                                 job->flags, nullptr, &job->chain)) {
        job->chain = nullptr;
        job->error = GetLastError();
        if (job->error == 0) job->error = static_cast<DWORD>(E_FAIL);
    }
    HMODULE pin = job->pin;
    job->Release();
    if (pin) FreeLibraryAndExitThread(pin, 0);
    return 0;
}

// TLS 1.2 and newer. The newer credential form is the only one that offers
// TLS 1.3 on current Windows; systems that do not know it get the older one.
SECURITY_STATUS AcquireCredentials(Credentials& credentials) {
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = kOldProtocols & SP_PROT_CLIENTS;
    SCH_CREDENTIALS current = {};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = flags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
    for (void* form : {static_cast<void*>(&current), static_cast<void*>(&older)}) {
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                           form, nullptr, nullptr, credentials.Receive(), nullptr);
        if (status == SEC_E_OK) break;
    }
    return status;
}

// A handshake that cannot read on: the server leaving is the handshake's
// failure; a time-out or a stop stays what it is.
HttpError HandshakeReadError(HttpError error, std::string& why) {
    if (error != HttpError::TlsTruncated) return error;
    why = "connection closed during the TLS handshake";
    return HttpError::TlsHandshake;
}

}  // namespace

TlsChannel::TlsChannel(std::unique_ptr<SocketStream> socket) : socket_(std::move(socket)) {}

TlsChannel::~TlsChannel() {
    if (open_ && !broken_ && !ended_) SendCloseNotify();
}

HttpError TlsChannel::Open(const std::string& host, std::string& why) {
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    host_.assign(name.begin(), name.end());  // host names are ASCII by the time they reach a URL
    input_.resize(kInputSize);
    SECURITY_STATUS status = AcquireCredentials(credentials_);
    if (status != SEC_E_OK) {
        why = WithCode("no TLS 1.2 credentials", status);
        return HttpError::TlsHandshake;
    }
    HttpError error = Handshake(why);
    if (error == HttpError::None) error = CheckCertificate(why);
    broken_ = error != HttpError::None;
    open_ = !broken_;
    return error;
}

HttpError TlsChannel::ReadMore() {
    if (begin_ > 0) {
        std::memmove(input_.data(), input_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == input_.size()) return HttpError::Receive;  // no record is that large
    size_t got = 0;
    HttpError error = socket_->ReceiveInto(input_.data() + end_, input_.size() - end_, got);
    if (error != HttpError::None) return error;
    if (got == 0) return HttpError::TlsTruncated;
    end_ += got;
    return HttpError::None;
}

bool TlsChannel::SkipDecrypted(const SecBuffer (&buffers)[4]) {
    for (const SecBuffer& buffer : buffers)
        if (buffer.BufferType == SECBUFFER_EXTRA) return SkipToExtra(buffer, why_);
    begin_ = end_;
    return true;
}

bool TlsChannel::SkipToExtra(const SecBuffer& extra, std::string& why) {
    const size_t size = extra.cbBuffer;
    if (extra.pvBuffer == nullptr) {
        // Only a count: the bytes left are the input's last ones.
        if (size > end_ - begin_) {
            why = "TLS left more bytes unprocessed than it was given";
            return false;
        }
        begin_ = end_ - size;
        return true;
    }
    // Where Schannel says they are; they must be the input's own tail, for
    // every byte before them is taken as processed.
    const uintptr_t at = reinterpret_cast<uintptr_t>(extra.pvBuffer);
    const uintptr_t first = reinterpret_cast<uintptr_t>(input_.data() + begin_);
    const uintptr_t last = reinterpret_cast<uintptr_t>(input_.data() + end_);
    if (at < first || at > last || size != last - at) {
        why = "TLS left unprocessed bytes outside its input";
        return false;
    }
    begin_ += at - first;
    return true;
}

HttpError TlsChannel::Handshake(std::string& why, bool renegotiating) {
    // A renegotiation starts with what is already here, even nothing: the
    // server may be waiting for our answer before it sends any more.
    bool readWhenEmpty = !renegotiating;
    bool askedForCertificate = false;
    for (int round = 0; round < 64; ++round) {
        const bool first = !context_.Valid();
        if (!first && begin_ == end_ && readWhenEmpty) {
            HttpError error = ReadMore();
            if (error != HttpError::None) return HandshakeReadError(error, why);
        }
        readWhenEmpty = true;
        SecBuffer in[2] = {{static_cast<unsigned long>(end_ - begin_), SECBUFFER_TOKEN, input_.data() + begin_},
                           {0, SECBUFFER_EMPTY, nullptr}};
        // Schannel allocates both; the alert buffer is where it puts the
        // alert of a failure.
        SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
        CredHandle credentials = credentials_.Get();
        CtxtHandle context = context_.Get();
        unsigned long attributes = 0;
        SECURITY_STATUS status = InitializeSecurityContextW(
            &credentials, first ? nullptr : &context, &host_[0], kContextFlags, 0, 0, first ? nullptr : &inDesc, 0,
            first ? context_.Receive() : &context, &outDesc, &attributes, nullptr);
        ContextBuffer token(out[0].pvBuffer);
        ContextBuffer alert(out[1].pvBuffer);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            HttpError error = ReadMore();
            if (error != HttpError::None) return HandshakeReadError(error, why);
            continue;
        }
        const bool going = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS;
        // A token also comes with a failure: the alert that tells the server
        // why, in the token or in the alert buffer.
        if (token.Valid() && out[0].cbBuffer > 0) {
            HttpError error = socket_->SendAll(static_cast<const char*>(token.Get()), out[0].cbBuffer, false);
            if (error != HttpError::None && going) return error;
        } else if (!going && alert.Valid() && out[1].cbBuffer > 0) {
            socket_->SendAll(static_cast<const char*>(alert.Get()), out[1].cbBuffer, false);
        }
        if (!going) {
            why = WithCode("TLS handshake refused", status);
            return HttpError::TlsHandshake;
        }
        // Asked for a client certificate: there is none; the same input once
        // more goes on without. Asked again, the server insists on one.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (askedForCertificate) {
                why = "server requires a client certificate";
                return HttpError::TlsHandshake;
            }
            askedForCertificate = true;
            continue;
        }
        if (!first) {
            if (in[1].BufferType != SECBUFFER_EXTRA) {
                begin_ = end_;
            } else if (!SkipToExtra(in[1], why)) {
                return HttpError::TlsHandshake;
            }
        }
        if (status == SEC_E_OK) {
            status = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes_);
            if (status != SEC_E_OK) {
                why = WithCode("TLS record sizes unknown", status);
                return HttpError::TlsHandshake;
            }
            return HttpError::None;
        }
    }
    why = "TLS handshake does not end";
    return HttpError::TlsHandshake;
}

HttpError TlsChannel::CheckCertificate(std::string& why) {
    CtxtHandle context = context_.Get();
    SecPkgContext_ConnectionInfo connection = {};
    SECURITY_STATUS status = QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &connection);
    if (status != SEC_E_OK) {
        why = WithCode("TLS version unknown", status);
        return HttpError::TlsHandshake;
    }
    // Only what was asked for passes: 0 or a value this code does not know
    // is no TLS 1.2.
    if (connection.dwProtocol != SP_PROT_TLS1_2_CLIENT && connection.dwProtocol != SP_PROT_TLS1_3_CLIENT) {
        why = WithCode("TLS version not 1.2 or 1.3", static_cast<long>(connection.dwProtocol));
        return HttpError::TlsHandshake;
    }
    UniqueOwner<CertificateTraits> certificate;
    status = QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, certificate.Receive());
    if (status != SEC_E_OK || !certificate.Valid()) {
        why = WithCode("server sent no certificate", status);
        return HttpError::TlsCertificate;
    }
    const std::string encoded(reinterpret_cast<const char*>(certificate.Get()->pbCertEncoded),
                              certificate.Get()->cbCertEncoded);
    if (!accepted_.empty()) {
        // A renegotiation may not bring another server in: the certificate
        // first accepted, checked then, is the only one that stays accepted.
        if (encoded == accepted_) return HttpError::None;
        why = "certificate changed in a renegotiation";
        return HttpError::TlsCertificate;
    }
    UniqueOwner<ChainTraits> chain;
    HttpError error = BuildChainInTime(certificate.Get(), kRevocationFlags, chain, why);
    if (error != HttpError::None) return error;
    DWORD policyError = 0;
    if (!VerifySslPolicy(chain.Get(), host_, policyError, why)) return HttpError::TlsCertificate;
    // Wine's policy passes chains that reach no root at all, or that run
    // through a certificate that is no authority: the chain's bits decide too.
    DWORD chainErrors = chain.Get()->TrustStatus.dwErrorStatus & ~kSoftRevocationBits;
    if (IsSoftRevocationError(policyError)) {
        // Revocation that could not be asked is no refusal (Wine's policy
        // reports it despite the flags), but the policy names one error
        // only, and the name or the trust may be wrong too: those come from
        // a chain built without revocation; of the first chain only a
        // revoked entry counts.
        UniqueOwner<ChainTraits> plain;
        error = BuildChainInTime(certificate.Get(), 0, plain, why);
        if (error != HttpError::None) return error;
        if (!VerifySslPolicy(plain.Get(), host_, policyError, why)) return HttpError::TlsCertificate;
        chainErrors = (chainErrors & CERT_TRUST_IS_REVOKED) |
                      (plain.Get()->TrustStatus.dwErrorStatus & ~kSoftRevocationBits);
    }
    if (policyError != 0) {
        why = WithCode(CertificateProblem(policyError), static_cast<long>(policyError));
        return HttpError::TlsCertificate;
    }
    if (chainErrors != 0) {
        why = WithCode(ChainProblem(chainErrors), static_cast<long>(chainErrors));
        return HttpError::TlsCertificate;
    }
    accepted_ = encoded;
    return HttpError::None;
}

HttpError TlsChannel::BuildChainInTime(PCCERT_CONTEXT certificate, DWORD flags, UniqueOwner<ChainTraits>& chain,
                                       std::string& why) {
    ChainJob* job = new ChainJob;
    job->flags = flags;
    job->certificate = CertDuplicateCertificateContext(certificate);
    const StreamLimits& limits = socket_->Limits();
    // Half the wait, so the chain comes back with its verdict in time.
    job->fetchTimeout = static_cast<DWORD>(std::clamp(limits.timeout.load() / 2, 1, kMaxFetchTimeout));
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&BuildChain), &job->pin))
        job->pin = nullptr;
    DWORD id = 0;
    UniqueHandle thread(CreateThread(nullptr, 0, &BuildChain, job, 0, &id));
    if (!thread.Valid()) {
        const DWORD created = GetLastError();
        if (job->pin) FreeLibrary(job->pin);
        job->references = 1;
        job->Release();
        why = WithCode("certificate chain could not be built", static_cast<long>(created));
        return HttpError::TlsCertificate;
    }
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        const DWORD waited = WaitForSingleObject(thread.Get(), 50);
        if (waited == WAIT_OBJECT_0) break;
        HttpError error = HttpError::None;
        const int32_t timeout = limits.timeout.load();
        if (waited == WAIT_FAILED) {
            why = WithCode("certificate chain could not be awaited", static_cast<long>(GetLastError()));
            error = HttpError::TlsCertificate;
        } else if (limits.stopped.load()) {
            error = HttpError::Stopped;
        } else if (GetTickCount64() - started >= static_cast<ULONGLONG>(timeout > 0 ? timeout : 0)) {
            error = HttpError::Timeout;
        }
        if (error != HttpError::None) {
            job->Release();  // the thread frees the job when it is done
            return error;
        }
    }
    *chain.Receive() = job->chain;
    job->chain = nullptr;
    const DWORD built = job->error;
    job->Release();
    if (!chain.Valid()) {
        why = WithCode("certificate chain could not be built", static_cast<long>(built));
        return HttpError::TlsCertificate;
    }
    return HttpError::None;
}

HttpError TlsChannel::Send(const char* data, size_t size) {
    const StreamLimits& limits = socket_->Limits();
    const size_t record = sizes_.cbMaximumMessage;
    const size_t overhead = sizes_.cbHeader + sizes_.cbTrailer;
    size_t done = 0;
    while (done < size) {
        if (limits.stopped.load()) return HttpError::Stopped;
        int32_t limit = limits.sendPieceSize.load();
        size_t piece = std::min(size - done, limit > 0 ? static_cast<size_t>(limit) : kMaxBatch);
        size_t records = (piece + record - 1) / record;
        if (output_.size() < piece + records * overhead) output_.resize(piece + records * overhead);
        // Each record is laid out header, data, trailer and encrypted where it lies.
        size_t out = 0;
        for (size_t taken = 0; taken < piece;) {
            const size_t part = std::min(record, piece - taken);
            char* at = output_.data() + out;
            std::memcpy(at + sizes_.cbHeader, data + done + taken, part);
            SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, at},
                                    {static_cast<unsigned long>(part), SECBUFFER_DATA, at + sizes_.cbHeader},
                                    {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, at + sizes_.cbHeader + part},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
            CtxtHandle context = context_.Get();
            if (EncryptMessage(&context, 0, &desc, 0) != SEC_E_OK) {
                broken_ = true;
                return HttpError::Send;
            }
            out += buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            taken += part;
        }
        HttpError error = socket_->SendAll(output_.data(), out, false);
        if (error != HttpError::None) {
            broken_ = true;
            return error;
        }
        done += piece;
    }
    return HttpError::None;
}

HttpError TlsChannel::Receive(const char*& data, size_t& size) {
    size = 0;
    if (broken_) return HttpError::Receive;
    for (;;) {
        if (ended_) return HttpError::None;
        HttpError error = begin_ == end_ ? ReadMore() : HttpError::None;
        SecBuffer buffers[4] = {{static_cast<unsigned long>(end_ - begin_), SECBUFFER_DATA, input_.data() + begin_},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        CtxtHandle context = context_.Get();
        SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
        if (error == HttpError::None) status = DecryptMessage(&context, &desc, 0, nullptr);
        if (error == HttpError::None && status == SEC_E_INCOMPLETE_MESSAGE) error = ReadMore();
        if (error == HttpError::None && status == SEC_I_RENEGOTIATE) {
            // The server asks for a new handshake (TLS 1.2) or sent a message
            // after it (a TLS 1.3 ticket or key update): what followed it goes
            // to InitializeSecurityContext at once, and the server must still
            // be the one first accepted.
            if (!SkipDecrypted(buffers)) {
                broken_ = true;
                return HttpError::Receive;
            }
            error = Handshake(why_, true);
            if (error == HttpError::None) error = CheckCertificate(why_);
            status = SEC_E_INCOMPLETE_MESSAGE;
        }
        if (error == HttpError::None && status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED &&
            status != SEC_E_INCOMPLETE_MESSAGE)
            error = HttpError::Receive;
        if (error != HttpError::None) {
            broken_ = true;
            return error;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
        const SecBuffer* plain = nullptr;
        for (const SecBuffer& buffer : buffers)
            if (buffer.BufferType == SECBUFFER_DATA) plain = &buffer;
        if (!SkipDecrypted(buffers)) {
            broken_ = true;
            return HttpError::Receive;
        }
        // The close notify: the stream ends here, in order, and ours answers it.
        if (status == SEC_I_CONTEXT_EXPIRED) {
            ended_ = true;
            SendCloseNotify();
        } else if (plain && plain->cbBuffer > 0) {
            data = static_cast<const char*>(plain->pvBuffer);
            size = plain->cbBuffer;
            return HttpError::None;
        }
    }
}

bool TlsChannel::IdleUsable() const { return !broken_ && !ended_ && begin_ == end_ && socket_->IdleUsable(); }

void TlsChannel::SendCloseNotify() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    CtxtHandle context = context_.Get();
    if (ApplyControlToken(&context, &controlDesc) != SEC_E_OK) return;
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
    CredHandle credentials = credentials_.Get();
    unsigned long attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(&credentials, &context, &host_[0], kContextFlags, 0, 0, nullptr,
                                                        0, &context, &outDesc, &attributes, nullptr);
    ContextBuffer token(out[0].pvBuffer);
    ContextBuffer alert(out[1].pvBuffer);
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && token.Valid() && out[0].cbBuffer > 0)
        socket_->SendNow(static_cast<const char*>(token.Get()), out[0].cbBuffer);
}

}  // namespace pcg
