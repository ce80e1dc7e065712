// HttpSession: the HTTP session of one transfer worker.
//
// A request sends, in this order: "METHOD path?query HTTP/1.0" (the whole URL
// instead of path and query when an http URL goes through the proxy);
// "Host: host" (":port" added unless 80, for https unless 443);
// "Proxy-Authorization: Basic " Base64(user ":" password) (http through a
// proxy with a user; https sends it in the proxy's CONNECT instead);
// "Keep-Alive: 300"; "Connection: keep-alive" ("Proxy-Connection:
// keep-alive" for http through the proxy); "Cookie: " the entries
// joined by "; " (when any); "User-Agent: Mozilla/4.0 (compatible;
// Parcelgate)"; "Content-Type: " MIME type and "Content-Length: " n (body not
// empty); the extra header lines in order (except any named "Host": one Host
// line only, or servers such as nginx answer 400); a blank line; the body.
#pragma once

#include <cstdint>
#include <string>

#include "http/HttpClient.h"

namespace pcg {

class HttpSession : public HttpClient {
public:
    // Under Wine every send call costs a server round trip: pieces of 64 KiB
    // held a chunked upload to 0.4 x curl, pieces of 1 MiB reach 0.85 x. A
    // stop is still seen between pieces, and a non-blocking send returns
    // with what fits at once.
    static constexpr int32_t kSendPieceSize = 1 << 20;

    // Files are served from CDNs and object stores that send the client on.
    static constexpr int kMaxRedirects = 5;

    // Sets the send piece size to kSendPieceSize, the time-out to 90000 ms
    // and the redirects to kMaxRedirects, then
    // performs the request (HttpClient::HTTPMethod). A stop flag raised
    // earlier (CancelTransfer) still fails it. With a body sink the response
    // body goes there as it arrives.
    bool SendRequest(const std::string& method, const std::string& url, BodySink* body = nullptr);

    // Callable from any thread: raises the stop flag, then sets the send
    // piece size and the time-out to 0. The request in progress fails at its
    // next socket step unless its exchange had already completed.
    void CancelTransfer();
};

}  // namespace pcg
