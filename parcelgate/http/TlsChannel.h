// TlsChannel: TLS through the platform's Schannel over one connected socket,
// as a ByteStream. Open() shakes hands with the server's name (SNI), accepts
// TLS 1.2 and newer only and checks the server's certificate against the
// machine's trusted roots and the host name; there is no way to skip the
// check. Records are encrypted in batches of up to the send piece size and
// decrypted in place in the receive buffer, so the body is copied once on
// the way out and not at all on the way in.
#pragma once

#define SECURITY_WIN32
// SCH_CREDENTIALS, the credential form that can offer TLS 1.3.
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <security.h>
#include <schannel.h>

#include <memory>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"
#include "http/ByteStream.h"

namespace pcg {

struct CredentialsTraits {
    using Handle = CredHandle;
    static CredHandle Invalid() { return CredHandle{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)}; }
    static bool Valid(const CredHandle& handle) { return SecIsValidHandle(&handle); }
    static void Close(CredHandle handle) { FreeCredentialsHandle(&handle); }
};

struct SecurityContextTraits {
    using Handle = CtxtHandle;
    static CtxtHandle Invalid() { return CtxtHandle{static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)}; }
    static bool Valid(const CtxtHandle& handle) { return SecIsValidHandle(&handle); }
    static void Close(CtxtHandle handle) { DeleteSecurityContext(&handle); }
};

struct CertificateTraits {
    using Handle = PCCERT_CONTEXT;
    static PCCERT_CONTEXT Invalid() { return nullptr; }
    static bool Valid(PCCERT_CONTEXT certificate) { return certificate != nullptr; }
    static void Close(PCCERT_CONTEXT certificate) { CertFreeCertificateContext(certificate); }
};

struct ChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static PCCERT_CHAIN_CONTEXT Invalid() { return nullptr; }
    static bool Valid(PCCERT_CHAIN_CONTEXT chain) { return chain != nullptr; }
    static void Close(PCCERT_CHAIN_CONTEXT chain) { CertFreeCertificateChain(chain); }
};

// Schannel's client credentials and one connection's security context.
using Credentials = UniqueOwner<CredentialsTraits>;
using SecurityContext = UniqueOwner<SecurityContextTraits>;

class TlsChannel : public ByteStream {
public:
    // Takes the connected socket; nothing is sent before Open().
    explicit TlsChannel(std::unique_ptr<SocketStream> socket);
    // Sends the close notify when the channel is open and whole and the
    // server's has not come (that one is answered when it comes).
    ~TlsChannel() override;
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Handshake and certificate check for host (as in the URL; brackets of
    // an IPv6 literal are dropped). None when the channel is ready, else
    // TlsHandshake or TlsCertificate (or the socket step's error), with the
    // reason in why.
    HttpError Open(const std::string& host, std::string& why);

    HttpError Send(const char* data, size_t size) override;
    // Ends in order only at the server's close notify; a connection closed
    // without it is TlsTruncated, for a body that runs until the close could
    // otherwise be cut short unnoticed.
    HttpError Receive(const char*& data, size_t& size) override;
    bool IdleUsable() const override;
    std::string Why() const override { return why_; }

private:
    // With renegotiating, the first round goes without waiting for the socket.
    HttpError Handshake(std::string& why, bool renegotiating = false);
    HttpError CheckCertificate(std::string& why);
    // CertGetCertificateChain with flags, given up on at a stop or the time-out.
    HttpError BuildChainInTime(PCCERT_CONTEXT certificate, DWORD flags, UniqueOwner<ChainTraits>& chain,
                               std::string& why);
    HttpError ReadMore();
    // Moves begin_ to the bytes Schannel left unprocessed (SECBUFFER_EXTRA)
    // of the input input_[begin_, end_); false, with why, when they do not
    // lie at its end.
    bool SkipToExtra(const SecBuffer& extra, std::string& why);
    // After DecryptMessage: past all the input, or to its SECBUFFER_EXTRA.
    bool SkipDecrypted(const SecBuffer (&buffers)[4]);
    void SendCloseNotify();

    std::unique_ptr<SocketStream> socket_;
    Credentials credentials_;
    SecurityContext context_;
    std::wstring host_;
    SecPkgContext_StreamSizes sizes_ = {};
    // Bytes received and not yet decrypted are input_[begin_, end_); a
    // record is decrypted where it lies.
    std::vector<char> input_;
    size_t begin_ = 0;
    size_t end_ = 0;
    std::vector<char> output_;
    bool open_ = false;
    bool ended_ = false;   // the server's close notify came
    bool broken_ = false;  // a step failed: the channel says nothing more
    std::string accepted_;  // the server's certificate as first accepted (DER)
    std::string why_;       // why a renegotiation failed
};

}  // namespace pcg
