// Pure parsers of the HTTP client: URL splitting and an incremental response
// parser over byte buffers. No sockets, no state beyond the parser object, so
// tests (and fuzzers) can feed them whole or byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcg {

// Why an exchange failed; None while all is well.
enum class HttpError {
    None,
    BadUrl,             // a URL (or proxy) ParseUrl refuses
    UnsupportedScheme,  // anything but http and https
    BadRequestHeader,   // a line of the request would hold a CR, LF or NUL
    Resolve,            // host name not found
    Connect,            // no address accepted the connection
    Send,               // socket error while sending
    Receive,            // socket error while receiving
    Timeout,            // a socket step exceeded the time-out
    Stopped,            // the stop flag was raised
    ClosedEarly,        // the peer closed before the response was complete
    BadStatusLine,      // the answer does not start with "HTTP/x.y nnn"
    HeaderTooLarge,     // status line plus headers beyond the header limit
    BadHeader,          // a header line without a colon
    BadContentLength,   // Content-Length not a number, or conflicting ones
    BodyTooLarge,       // body beyond the body limit
    BadChunk,           // broken chunked transfer coding
    TooManyInterim,     // more interim (1xx) answers than a server sends
    BodyWrite,          // the body's sink refused a piece (a file write failed)
    OutOfMemory,
    ProxyTunnel,        // the proxy did not open a tunnel (CONNECT) for https
    RedirectRefused,    // a redirect to http from https, to a refused URL, or too many
    TlsHandshake,       // TLS could not be agreed on (or only older than 1.2)
    TlsCertificate,     // the server's certificate failed a check
    TlsTruncated,       // the connection closed without TLS's close notify
};

// A readable name ("BadChunk") for logs and test messages.
const char* HttpErrorName(HttpError error);

struct UrlParts {
    std::string scheme;        // lower case; "http" when the URL has none
    std::string host;          // as written ("[::1]" keeps its brackets)
    std::string port;          // decimal text; defaultPort when the URL has none
    std::string hostAndPort;   // the Host line's value: host, and ":" port unless the scheme's own
    std::string pathAndQuery;  // from the first "/" or "?" after the host, verbatim; "/" when empty
};

// The one URL parser of the library: the request, its Host line, the
// progress service's address, the proxy and the cookies' origin all take the
// host from here. Splits scheme://host:port/path?query. Returns false (and
// leaves parts unspecified) for an empty host, user info, a fragment or a
// backslash before the path (another reader would find another host there),
// a host byte that is no letter, digit, "-", "." or "_" (an IPv6 literal in
// brackets: hex digits, ":" and "."), a port that is not 1..65535, or a byte
// up to 0x20 (space) or 0x7F anywhere in the URL: sent in the request line,
// they would break it or forge header lines.
bool ParseUrl(const std::string& url, const std::string& defaultPort, UrlParts& parts);

// The host and port of a URL as its Host line names them ("host:8080",
// "host" for the scheme's own port); "" for a URL ParseUrl refuses.
std::string ExtractHost(const std::string& url);

enum class ParseStatus { NeedMore, Done, Invalid };

// Takes an answer's body piece by piece as it arrives, instead of memory.
class BodySink {
public:
    // False refuses the piece: the exchange fails with BodyWrite.
    virtual bool Write(const char* data, size_t size) = 0;

protected:
    ~BodySink() = default;
};

// Reads one HTTP response (after any 1xx interim ones). Lines may end in
// CRLF or LF. The body is delimited by chunked coding (which wins), by
// Content-Length, or by the connection's close (FinishAtClose); responses to
// HEAD and status 1xx/204/304 have none.
class ResponseParser {
public:
    static constexpr size_t kDefaultMaxHeaderBytes = 256 * 1024;
    // Bodies kept in memory are small answers (acknowledgements, progress
    // polls, form results); anything large goes to a sink.
    static constexpr uint64_t kDefaultMaxBodyBytes = 4 * 1024 * 1024;
    static constexpr int kMaxInterimAnswers = 4;

    // With a sink a 2xx answer's body goes there and maxBodyBytes does not
    // apply to it; any other answer's body (an error page, a redirect's) is
    // kept in memory within maxBodyBytes, never handed to the sink.
    explicit ResponseParser(bool headRequest = false, size_t maxHeaderBytes = kDefaultMaxHeaderBytes,
                            uint64_t maxBodyBytes = kDefaultMaxBodyBytes, BodySink* sink = nullptr);

    // Consumes bytes; *consumed tells how many (bytes after a complete
    // response are left unconsumed). Done and Invalid are final: later calls
    // return the same status and consume nothing.
    ParseStatus Feed(const char* data, size_t size, size_t* consumed);

    // The connection closed: Done when the response is complete (a
    // close-delimited body ends here), Invalid otherwise.
    ParseStatus FinishAtClose();

    ParseStatus Status() const { return status_; }
    HttpError Error() const { return error_; }

    bool HasStatusLine() const { return statusCode_ != 0; }
    int32_t StatusCode() const { return statusCode_; }   // 0 until a status line was read
    const std::string& Reason() const { return reason_; }
    // The final response's status line, then its header lines (and any
    // chunked trailer lines), line endings removed.
    const std::vector<std::string>& HeaderLines() const { return headerLines_; }
    std::string& Body() { return body_; }
    const std::string& Body() const { return body_; }

    // After Done: whether the connection may carry another request (length-
    // or chunk-delimited body and no "close" in Connection/Proxy-Connection;
    // HTTP/1.0 responses also need "keep-alive" there).
    bool KeepAlive() const;

    // First value of a header of the final response ("" when absent);
    // name compared without regard to case.
    std::string HeaderValue(const std::string& name) const;

private:
    enum class Stage { StatusLine, Headers, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailers, UntilClose, Complete };

    ParseStatus Fail(HttpError error);
    bool TakeLine(const char* data, size_t size, size_t& pos, std::string& line, bool& complete);
    ParseStatus OnStatusLine(const std::string& line);
    ParseStatus OnHeaderLine(const std::string& line);
    ParseStatus OnHeadersEnd();
    ParseStatus OnChunkSizeLine(const std::string& line);
    void ReserveForLength(size_t take);
    bool Store(const char* data, size_t size);

    bool headRequest_;
    size_t maxHeaderBytes_;
    uint64_t maxBodyBytes_;
    uint64_t memoryBodyLimit_;
    BodySink* sink_;

    Stage stage_ = Stage::StatusLine;
    ParseStatus status_ = ParseStatus::NeedMore;
    HttpError error_ = HttpError::None;
    std::string line_;            // partial line being collected
    size_t headerBytes_ = 0;      // bytes of the current head (and trailers)
    int32_t statusCode_ = 0;
    int interimAnswers_ = 0;
    int versionMinor_ = 0;
    int versionMajor_ = 0;
    std::string reason_;
    std::vector<std::string> headerLines_;
    std::string body_;
    bool chunked_ = false;
    bool hasLength_ = false;
    uint64_t contentLength_ = 0;
    uint64_t remaining_ = 0;      // of the Content-Length body or the current chunk
    bool connectionClose_ = false;
    bool connectionKeepAlive_ = false;
    bool closeDelimited_ = false;
};

}  // namespace pcg
