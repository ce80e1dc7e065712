// HttpClient: a small HTTP/1.0 client over Winsock TCP sockets, for https
// with TLS through the platform (TlsChannel.h), one connection at a time,
// kept open between requests to the same host and port when the server
// allows. No COM; safe to use without COM initialised.
// Winsock is started by each client (WSAStartup/WSACleanup are counted).
//
// One thread owns a client. The only calls allowed from another thread while
// a request runs are Stop(), SetTimeout(), SetSendPieceSize() (and their
// getters): the three values are single atomic words.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpParser.h"

namespace pcg {

// A byte buffer with a read/write position (a memory stream).
class ByteBuffer {
public:
    const std::string& Bytes() const { return bytes_; }
    size_t Size() const { return bytes_.size(); }
    size_t Position() const { return position_; }
    void SetPosition(size_t position);            // clamped to Size()

    void Clear();                                  // empty, position 0
    void Assign(std::string bytes);                // replaces all, position 0
    void Write(const void* data, size_t size);     // at the position (overwrites, then extends); advances it
    void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
    size_t Read(void* data, size_t size);          // from the position; returns bytes read; advances it
    std::string Take();                            // moves the bytes out; buffer empty afterwards

private:
    std::string bytes_;
    size_t position_ = 0;
};

class ByteStream;    // the open connection, plain or TLS (ByteStream.h)
class SocketStream;
struct StreamLimits;

class HttpClient {
public:
    static constexpr int32_t kDefaultTimeout = 90000;           // ms per socket step
    static constexpr const char* kDefaultUserAgent = "Mozilla/4.0 (compatible; Parcelgate)";

    HttpClient();
    virtual ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Empties the extra request headers and the body and sets the MIME type
    // to "text/html". Cookies, proxy settings, limits and the open
    // connection are kept.
    void Clear();

    // Performs one request with the current settings (see HttpSession.h for
    // the bytes sent). True when a status line and the whole body were read,
    // whatever the status code; false on any connection, socket, time-out,
    // stop or protocol failure (LastError() says which). Afterwards, true or
    // false: Headers() holds the response's status line and header lines
    // received (empty when none), Document() its body bytes received, at
    // position 0; ResultCode() is the status or 500 when no status line was
    // read. Never throws.
    // With a body sink a 2xx response's body goes there as it arrives
    // (without the body limit) and Document() stays empty; any other
    // response's body goes to Document() as without a sink.
    // Redirects (up to MaxRedirects() hops): a GET or HEAD follows 301, 302,
    // 303, 307 and 308, any other method 307 and 308 only, with its extra
    // lines and body sent again. A hop from https to http, to a URL ParseUrl
    // refuses, or one hop too many fails with RedirectRefused. A hop to
    // another origin (scheme, host, port) carries no cookies and no proxy
    // credentials and takes none of its answer's cookies. Each hop goes to
    // the debugger's output without its query.
    bool HTTPMethod(const std::string& method, const std::string& url, BodySink* body = nullptr);
    int MaxRedirects() const { return maxRedirects_; }
    void SetMaxRedirects(int hops) { maxRedirects_ = hops; }

    // Extra request header lines ("Name: value", sent verbatim after the
    // session's own lines, in order; lines named "Host" are left out, the
    // session's own Host line stands); after a request, the response's lines.
    std::vector<std::string>& Headers() { return headers_; }
    const std::vector<std::string>& Headers() const { return headers_; }

    // Request body; after a request, the response body.
    ByteBuffer& Document() { return document_; }
    const ByteBuffer& Document() const { return document_; }

    // A request body the caller keeps, sent in place of Document() by the
    // next request without being copied; it must stay valid until that
    // request returns. Forgotten by Clear() and after each request.
    void SetBodyView(const char* data, size_t size);

    const std::string& MimeType() const { return mimeType_; }
    void SetMimeType(const std::string& mimeType) { mimeType_ = mimeType; }

    // Cookie entries "name=value", sent as one "Cookie: " line joined by
    // "; " when not empty. Each "Set-Cookie" of a response replaces the entry
    // of its name (exact comparison of the text before the first "=") or
    // appends it while the list has fewer than 50 entries; its attributes
    // after the first ";" are dropped, and a cookie beyond 4096 bytes is.
    std::vector<std::string>& Cookies() { return cookies_; }
    const std::vector<std::string>& Cookies() const { return cookies_; }
    // Replaces the cookie list with the lines of text (split at CR and/or
    // LF, empty lines skipped): a plain token becomes the single entry.
    void SetCookieText(const std::string& text);

    int32_t ResultCode() const { return resultCode_; }
    const std::string& ResultString() const { return resultString_; }
    HttpError LastError() const { return lastError_; }
    // The reason in words where the error has more to say than its name
    // (which certificate check failed, what the proxy answered a tunnel);
    // empty otherwise.
    const std::string& LastErrorText() const { return lastErrorText_; }

    // Proxy: used only when ProxyHost is not empty. An http URL goes to it
    // whole; an https URL through a tunnel it opens (CONNECT host:port, with
    // the proxy's credentials), inside which TLS runs with the server and
    // the request names the path only. An empty port means "8080".
    const std::string& ProxyHost() const { return proxyHost_; }
    const std::string& ProxyPort() const { return proxyPort_; }
    const std::string& ProxyUser() const { return proxyUser_; }
    const std::string& ProxyPass() const { return proxyPass_; }
    void SetProxy(const std::string& host, const std::string& port,
                  const std::string& user, const std::string& password);

    // Limits, writable from any thread. Time-out in ms for each socket step
    // (connect, each send, each receive); 0 fails any step that would wait.
    // Send piece size in bytes; 0 means no limit.
    int32_t Timeout() const { return timeout_.load(); }
    void SetTimeout(int32_t ms) { timeout_.store(ms); }
    int32_t SendPieceSize() const { return sendPieceSize_.load(); }
    void SetSendPieceSize(int32_t bytes) { sendPieceSize_.store(bytes); }

    // Raises the stop flag: the request in progress fails at its current or
    // next socket step (waits are sliced, so within about 50 ms), and so does
    // every later request of this client. The flag is never lowered.
    void Stop() { stopped_.store(true); }
    bool Stopped() const { return stopped_.load(); }

    // Session defaults (rarely changed; tests use them).
    const std::string& Protocol() const { return protocol_; }          // "1.0"
    const std::string& UserAgent() const { return userAgent_; }
    void SetUserAgent(const std::string& agent) { userAgent_ = agent; }
    bool KeepAlive() const { return keepAlive_; }                      // true
    void SetKeepAlive(bool on) { keepAlive_ = on; }
    int32_t KeepAliveTimeout() const { return keepAliveTimeout_; }     // 300
    const std::string& TargetPort() const { return targetPort_; }      // "80": port of URLs without one

    // Safety limits of a response.
    void SetMaxHeaderBytes(size_t bytes) { maxHeaderBytes_ = bytes; }
    void SetMaxBodyBytes(uint64_t bytes) { maxBodyBytes_ = bytes; }

    // The kept-alive connection: whether one is open, and closing it.
    bool ConnectionOpen() const;
    void CloseConnection();

    // The bytes of the request head HTTPMethod would send for this URL now
    // (request line, session lines, extra headers, blank line; no body).
    // False for a URL HTTPMethod would refuse, and for a line that would hold
    // a CR, LF or NUL (a header value, a cookie, the MIME type).
    bool BuildRequestHead(const std::string& method, const std::string& url, std::string& head) const;

private:
    struct Target;
    bool ResolveTarget(const std::string& url, UrlParts& parts, Target& target) const;
    bool RequestOnce(const std::string& method, const std::string& url, BodySink* body);
    // Sends head and body on the open socket and reads the answer into parser.
    bool Exchange(const std::string& head, ResponseParser& parser, bool& anyResponseByte);
    // Opens the stream to the target: TCP, then for https the tunnel and TLS.
    bool Connect(const Target& target);
    bool OpenTunnel(SocketStream& proxy, const Target& target);
    StreamLimits Limits() const;
    void TakeCookies(const std::vector<std::string>& lines);
    void ClearBodyView();
    const char* RequestBody() const;
    size_t RequestBodySize() const;

    std::vector<std::string> headers_;
    ByteBuffer document_;
    const char* bodyView_ = nullptr;
    size_t bodyViewSize_ = 0;
    std::string mimeType_ = "text/html";
    std::vector<std::string> cookies_;
    int32_t resultCode_ = 500;
    std::string resultString_;
    HttpError lastError_ = HttpError::None;
    std::string lastErrorText_;

    std::string proxyHost_;
    std::string proxyPort_ = "8080";
    std::string proxyUser_;
    std::string proxyPass_;

    std::atomic<int32_t> timeout_{kDefaultTimeout};
    std::atomic<int32_t> sendPieceSize_{0};
    std::atomic<bool> stopped_{false};

    std::string protocol_ = "1.0";
    std::string userAgent_ = kDefaultUserAgent;
    bool keepAlive_ = true;
    int32_t keepAliveTimeout_ = 300;
    std::string targetPort_ = "80";
    size_t maxHeaderBytes_ = ResponseParser::kDefaultMaxHeaderBytes;
    uint64_t maxBodyBytes_ = ResponseParser::kDefaultMaxBodyBytes;

    int maxRedirects_ = 0;
    bool crossOrigin_ = false;  // a redirect left the caller's origin

    bool winsockStarted_ = false;
    std::unique_ptr<ByteStream> stream_;
    std::string connectedKey_;  // Target::Key() of the open stream
};

}  // namespace pcg
