#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "http/HttpClient.h"

#include "http/ByteStream.h"
#include "http/TlsChannel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Utils.h"

namespace pcg {

namespace {

// A session polls one server for a long time: its cookies stay few and small.
constexpr size_t kMaxCookies = 50;
constexpr size_t kMaxCookieBytes = 4096;

}  // namespace

struct HttpClient::Target {
    std::string connectHost;  // where the socket goes: the server or the proxy
    std::string connectPort;
    bool viaProxy = false;    // http through the proxy: the absolute URL in the request line
    bool tls = false;         // https: TLS with the server, through a CONNECT tunnel when proxied
    bool tunnel = false;
    std::string originHost;   // the server: the TLS name and the tunnel's end
    std::string originPort;
    // Which open connection can carry this request.
    std::string Key() const {
        return connectHost + ":" + connectPort + (tls ? " tls " + originHost + ":" + originPort : std::string());
    }
};

// ---- ByteBuffer -------------------------------------------------------------

void ByteBuffer::SetPosition(size_t position) { position_ = std::min(position, bytes_.size()); }

void ByteBuffer::Clear() {
    bytes_.clear();
    position_ = 0;
}

void ByteBuffer::Assign(std::string bytes) {
    bytes_ = std::move(bytes);
    position_ = 0;
}

void ByteBuffer::Write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    size_t overwrite = std::min(size, bytes_.size() - position_);
    std::memcpy(&bytes_[0] + position_, bytes, overwrite);
    bytes_.append(bytes + overwrite, size - overwrite);
    position_ += size;
}

size_t ByteBuffer::Read(void* data, size_t size) {
    size_t take = std::min(size, bytes_.size() - position_);
    std::memcpy(data, bytes_.data() + position_, take);
    position_ += take;
    return take;
}

std::string ByteBuffer::Take() {
    std::string bytes;
    bytes.swap(bytes_);
    position_ = 0;
    return bytes;
}

// ---- HttpClient ------------------------------------------------------------

HttpClient::HttpClient() {
    WSADATA data;
    winsockStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

HttpClient::~HttpClient() {
    stream_.reset();
    if (winsockStarted_) WSACleanup();
}

void HttpClient::Clear() {
    headers_.clear();
    document_.Clear();
    ClearBodyView();
    mimeType_ = "text/html";
}

void HttpClient::SetBodyView(const char* data, size_t size) {
    bodyView_ = data;
    bodyViewSize_ = size;
}

void HttpClient::ClearBodyView() {
    bodyView_ = nullptr;
    bodyViewSize_ = 0;
}

const char* HttpClient::RequestBody() const { return bodyView_ ? bodyView_ : document_.Bytes().data(); }

size_t HttpClient::RequestBodySize() const { return bodyView_ ? bodyViewSize_ : document_.Size(); }

void HttpClient::SetCookieText(const std::string& text) {
    cookies_.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end > start) cookies_.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void HttpClient::SetProxy(const std::string& host, const std::string& port, const std::string& user,
                           const std::string& password) {
    proxyHost_ = host;
    proxyPort_ = port;
    proxyUser_ = user;
    proxyPass_ = password;
}

bool HttpClient::ConnectionOpen() const { return stream_ != nullptr; }

void HttpClient::CloseConnection() {
    stream_.reset();
    connectedKey_.clear();
}

bool HttpClient::ResolveTarget(const std::string& url, UrlParts& parts, Target& target) const {
    if (!ParseUrl(url, targetPort_, parts)) return false;
    target.tls = parts.scheme == "https";
    target.viaProxy = !proxyHost_.empty() && parts.scheme == "http";
    target.tunnel = !proxyHost_.empty() && target.tls;
    target.originHost = parts.host;
    target.originPort = parts.port;
    if (target.viaProxy || target.tunnel) {
        // The proxy's host goes through the same parser: a host text that
        // holds a path, user info or a second port is no proxy to talk to.
        UrlParts proxy;
        if (!ParseUrl("http://" + proxyHost_ + ":" + (proxyPort_.empty() ? "8080" : proxyPort_), "8080", proxy) ||
            proxy.pathAndQuery != "/")
            return false;
        target.connectHost = proxy.host;
        target.connectPort = proxy.port;
    } else {
        target.connectHost = parts.host;
        target.connectPort = parts.port;
    }
    return true;
}

namespace {

bool IsHostLine(const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    size_t end = line.find_last_not_of(" \t", colon == 0 ? 0 : colon - 1);
    return colon > 0 && end != std::string::npos && SameText(line.substr(0, end + 1), "Host");
}

}  // namespace

bool HttpClient::BuildRequestHead(const std::string& method, const std::string& url, std::string& head) const {
    UrlParts parts;
    Target target;
    if (!ResolveTarget(url, parts, target)) return false;

    // A CR or LF inside a value would end its line early and start one of the
    // caller's choosing; a NUL cuts the line short for many servers. Such a
    // request is refused, never cleaned up.
    bool clean = true;
    head.clear();
    auto line = [&](const std::string& text) {
        if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) clean = false;
        head += text;
        head += "\r\n";
    };
    // An http URL through the proxy goes whole, rebuilt from its parts.
    const std::string& hostAndPort = parts.hostAndPort;
    const std::string requestTarget = target.viaProxy ? "http://" + hostAndPort + parts.pathAndQuery : parts.pathAndQuery;
    line(UpperCase(method) + " " + requestTarget + " HTTP/" + protocol_);
    line("Host: " + hostAndPort);
    if (target.viaProxy && !proxyUser_.empty() && !crossOrigin_) line("Proxy-Authorization: Basic " + Base64Encode(proxyUser_ + ":" + proxyPass_));
    if (keepAlive_) {
        line("Keep-Alive: " + std::to_string(keepAliveTimeout_));
        line(target.viaProxy ? "Proxy-Connection: keep-alive" : "Connection: keep-alive");
    }
    if (!cookies_.empty() && !crossOrigin_) {
        std::string cookie = "Cookie: ";
        for (size_t i = 0; i < cookies_.size(); ++i) cookie += (i ? "; " : "") + cookies_[i];
        line(cookie);
    }
    if (!userAgent_.empty()) line("User-Agent: " + userAgent_);
    if (RequestBodySize() > 0) {
        line("Content-Type: " + mimeType_);
        line("Content-Length: " + std::to_string(RequestBodySize()));
    }
    for (const std::string& extra : headers_) {
        // The session's own Host line stands; a second one makes servers such as
        // nginx refuse the request with 400.
        if (!IsHostLine(extra)) line(extra);
    }
    head += "\r\n";
    return clean;
}

StreamLimits HttpClient::Limits() const { return StreamLimits{timeout_, sendPieceSize_, stopped_}; }

bool HttpClient::Connect(const Target& target) {
    CloseConnection();
    if (!winsockStarted_) {
        lastError_ = HttpError::Connect;
        return false;
    }
    std::string host = target.connectHost;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), target.connectPort.c_str(), &hints, &found) != 0 || found == nullptr) {
        lastError_ = HttpError::Resolve;
        return false;
    }
    lastError_ = HttpError::Connect;
    std::unique_ptr<SocketStream> connected;
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if (stopped_.load()) {
            lastError_ = HttpError::Stopped;
            break;
        }
        Socket socket(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (!socket.Valid()) continue;
        u_long nonBlocking = 1;
        if (ioctlsocket(socket.Get(), FIONBIO, &nonBlocking) != 0) continue;
        BOOL noDelay = TRUE;
        setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        if (connect(socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
            WSAGetLastError() != WSAEWOULDBLOCK)
            continue;
        WaitResult waited = WaitSocket(socket.Get(), true, Limits());
        if (waited != WaitResult::Ready) {
            lastError_ = WaitError(waited, HttpError::Connect);
            if (waited == WaitResult::Failed) continue;
            break;
        }
        int error = 0;
        int length = sizeof error;
        if (getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0)
            continue;
        connected = std::make_unique<SocketStream>(std::move(socket), Limits());
        lastError_ = HttpError::None;
        break;
    }
    freeaddrinfo(found);
    if (!connected) return false;
    if (!target.tls) {
        stream_ = std::move(connected);
    } else {
        if (target.tunnel && !OpenTunnel(*connected, target)) return false;
        auto channel = std::make_unique<TlsChannel>(std::move(connected));
        lastError_ = channel->Open(target.originHost, lastErrorText_);
        if (lastError_ != HttpError::None) return false;
        stream_ = std::move(channel);
    }
    connectedKey_ = target.Key();
    return true;
}

bool HttpClient::OpenTunnel(SocketStream& proxy, const Target& target) {
    const std::string authority = target.originHost + ":" + target.originPort;
    std::string head = "CONNECT " + authority + " HTTP/" + protocol_ + "\r\nHost: " + authority + "\r\n";
    if (!proxyUser_.empty() && !crossOrigin_) head += "Proxy-Authorization: Basic " + Base64Encode(proxyUser_ + ":" + proxyPass_) + "\r\n";
    if (!userAgent_.empty()) head += "User-Agent: " + userAgent_ + "\r\n";
    head += "\r\n";
    lastError_ = proxy.Send(head.data(), head.size());
    // The proxy's answer has no body to wait for; the server's first TLS
    // bytes cannot come before ours, so nothing may follow the head.
    ResponseParser parser(true, maxHeaderBytes_, maxBodyBytes_);
    ParseStatus status = ParseStatus::NeedMore;
    while (lastError_ == HttpError::None && status == ParseStatus::NeedMore) {
        const char* data = nullptr;
        size_t size = 0;
        lastError_ = proxy.Receive(data, size);
        if (lastError_ != HttpError::None) break;
        size_t consumed = 0;
        status = size == 0 ? parser.FinishAtClose() : parser.Feed(data, size, &consumed);
        // Bytes after an opened tunnel's head would be the server's, before
        // it heard ours. A refusal's page may come with its head: its reason
        // is the head's.
        if (status == ParseStatus::Done && consumed < size && parser.StatusCode() >= 200 && parser.StatusCode() <= 299)
            status = ParseStatus::Invalid;
    }
    if (lastError_ != HttpError::None) return false;
    lastError_ = HttpError::ProxyTunnel;
    const bool opened = parser.StatusCode() >= 200 && parser.StatusCode() <= 299;
    if (status == ParseStatus::Done && opened) lastError_ = HttpError::None;
    else if (status == ParseStatus::Done)
        lastErrorText_ = "proxy refused the tunnel: " + std::to_string(parser.StatusCode()) + " " + parser.Reason();
    else if (opened) lastErrorText_ = "proxy sent bytes in the tunnel before the server could";
    else lastErrorText_ = "proxy gave no HTTP answer to the tunnel request";
    return lastError_ == HttpError::None;
}

bool HttpClient::Exchange(const std::string& head, ResponseParser& parser, bool& anyResponseByte) {
    anyResponseByte = false;
    lastError_ = stream_->Send(head.data(), head.size());
    if (lastError_ == HttpError::None) lastError_ = stream_->Send(RequestBody(), RequestBodySize());
    while (lastError_ == HttpError::None) {
        const char* data = nullptr;
        size_t size = 0;
        lastError_ = stream_->Receive(data, size);
        if (lastError_ != HttpError::None) break;
        if (size == 0) {
            if (parser.FinishAtClose() == ParseStatus::Done) {
                CloseConnection();
                return true;
            }
            lastError_ = parser.Error();
            break;
        }
        anyResponseByte = true;
        size_t consumed = 0;
        ParseStatus status = parser.Feed(data, size, &consumed);
        if (status == ParseStatus::Done) {
            // Bytes beyond the answer would start the next one out of step.
            if (consumed < size) CloseConnection();
            return true;
        }
        if (status == ParseStatus::Invalid) lastError_ = parser.Error();
    }
    lastErrorText_ = stream_ ? stream_->Why() : std::string();
    return false;
}

namespace {

bool SameOrigin(const UrlParts& a, const UrlParts& b) {
    return a.scheme == b.scheme && SameText(a.host, b.host) && a.port == b.port;
}

// The first value of a response header line ("" when there is none).
std::string ResponseHeader(const std::vector<std::string>& lines, const std::string& name) {
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t colon = lines[i].find(':');
        if (colon == std::string::npos || !SameText(lines[i].substr(0, colon), name)) continue;
        const size_t begin = lines[i].find_first_not_of(" \t", colon + 1);
        const size_t end = lines[i].find_last_not_of(" \t");
        return begin == std::string::npos ? std::string() : lines[i].substr(begin, end - begin + 1);
    }
    return std::string();
}

// A Location read against the URL that answered it: absolute, without a
// scheme ("//host/x"), from the root ("/x") or beside the answering path.
std::string ResolveLocation(const UrlParts& base, std::string location) {
    location.erase(std::min(location.find('#'), location.size()));
    const size_t scheme = location.find("://");
    if (scheme != std::string::npos && location.find_first_of("/?") > scheme) return location;
    if (location.compare(0, 2, "//") == 0) return base.scheme + ":" + location;
    const std::string root = base.scheme + "://" + base.hostAndPort;
    if (!location.empty() && location[0] == '/') return root + location;
    const std::string path = base.pathAndQuery.substr(0, base.pathAndQuery.find('?'));
    return root + path.substr(0, path.rfind('/') + 1) + location;
}

bool IsRedirect(int32_t code, bool safeMethod) {
    return code == 307 || code == 308 || (safeMethod && (code == 301 || code == 302 || code == 303));
}

}  // namespace

bool HttpClient::HTTPMethod(const std::string& method, const std::string& url, BodySink* body) {
    // A redirect that asks for the request again gets it again: the same
    // extra lines and body.
    const std::vector<std::string> extraHeaders = headers_;
    std::string sentBody;
    if (!bodyView_ && document_.Size() > 0) {
        sentBody = document_.Take();
        SetBodyView(sentBody.data(), sentBody.size());
    }
    const bool safeMethod = SameText(method, "GET") || SameText(method, "HEAD");
    UrlParts origin;
    const bool originKnown = ParseUrl(url, targetPort_, origin);
    std::string current = url;
    bool ok = false;
    for (int hop = 0;; ++hop) {
        ok = RequestOnce(method, current, body);
        if (!ok || !IsRedirect(resultCode_, safeMethod) || maxRedirects_ <= 0) break;
        const std::string location = ResponseHeader(headers_, "Location");
        if (location.empty()) break;  // nowhere to go: the answer stands
        UrlParts from;
        UrlParts to;
        ParseUrl(current, targetPort_, from);
        const std::string next = ResolveLocation(from, location);
        if (hop >= maxRedirects_) lastErrorText_ = "more than " + std::to_string(maxRedirects_) + " redirects";
        else if (!ParseUrl(next, targetPort_, to) || (to.scheme != "http" && to.scheme != "https"))
            lastErrorText_ = "redirect to a URL that is refused";
        else if (from.scheme == "https" && to.scheme == "http")
            lastErrorText_ = "redirect from https to http refused";
        if (!lastErrorText_.empty()) {
            lastError_ = HttpError::RedirectRefused;
            ok = false;
            break;
        }
        // The hop without its query, which may hold a token or a signature.
        OutputDebugStringA(("Parcelgate: redirect " + std::to_string(resultCode_) + " to " + to.scheme + "://" +
                            to.hostAndPort + to.pathAndQuery.substr(0, to.pathAndQuery.find('?')) + "\n")
                               .c_str());
        current = next;
        // The token's cookie and the proxy's credentials belong to the origin
        // the caller named, not to wherever it sends us.
        crossOrigin_ = !originKnown || !SameOrigin(origin, to);
        headers_ = extraHeaders;
    }
    crossOrigin_ = false;
    ClearBodyView();
    return ok;
}

bool HttpClient::RequestOnce(const std::string& method, const std::string& url, BodySink* body) {
    resultCode_ = 500;
    resultString_.clear();
    lastError_ = HttpError::None;
    lastErrorText_.clear();
    bool ok = false;
    bool answered = false;  // headers_ and document_ hold the response
    try {
        UrlParts parts;
        Target target;
        std::string head;
        if (!ResolveTarget(url, parts, target)) {
            lastError_ = HttpError::BadUrl;
        } else if (!BuildRequestHead(method, url, head)) {
            lastError_ = HttpError::BadRequestHeader;
        } else if (parts.scheme != "http" && parts.scheme != "https") {
            lastError_ = HttpError::UnsupportedScheme;
        } else {
            bool headRequest = SameText(method, "HEAD");
            // Only a request without effects may go again: the server may have
            // applied a POST before it dropped the connection.
            bool replayable = headRequest || SameText(method, "GET");
            if (stream_ && (connectedKey_ != target.Key() || !stream_->IdleUsable())) CloseConnection();
            bool reused = stream_ != nullptr;
            for (int attempt = 0; attempt < 2; ++attempt) {
                ResponseParser parser(headRequest, maxHeaderBytes_, maxBodyBytes_, body);
                bool anyResponseByte = false;
                if (!stream_ && !Connect(target)) break;
                ok = Exchange(head, parser, anyResponseByte);
                bool staleConnection = !ok && replayable && reused && !anyResponseByte && !stopped_.load() &&
                                       (lastError_ == HttpError::Send || lastError_ == HttpError::Receive ||
                                        lastError_ == HttpError::ClosedEarly || lastError_ == HttpError::TlsTruncated);
                if (staleConnection) {
                    // The server dropped the idle connection as we reused it: one fresh try.
                    CloseConnection();
                    reused = false;
                    lastError_ = HttpError::None;
                    continue;
                }
                if (parser.HasStatusLine()) {
                    resultCode_ = parser.StatusCode();
                    resultString_ = parser.Reason();
                }
                headers_ = parser.HeaderLines();
                if (!crossOrigin_) TakeCookies(headers_);
                document_.Assign(std::move(parser.Body()));
                answered = true;
                if (!ok || !keepAlive_ || !parser.KeepAlive()) CloseConnection();
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        lastError_ = HttpError::OutOfMemory;
        ok = false;
        CloseConnection();
    } catch (...) {
        lastError_ = HttpError::Receive;
        ok = false;
        CloseConnection();
    }
    if (!answered) {
        headers_.clear();
        document_.Clear();
    }
    if (!ok && lastError_ == HttpError::None) lastError_ = HttpError::Connect;
    return ok;
}

void HttpClient::TakeCookies(const std::vector<std::string>& lines) {
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t colon = line.find(':');
        if (colon == std::string::npos || !SameText(line.substr(0, colon), "Set-Cookie")) continue;
        std::string cookie = line.substr(colon + 1);
        size_t semicolon = cookie.find(';');
        if (semicolon != std::string::npos) cookie.erase(semicolon);
        size_t begin = cookie.find_first_not_of(" \t");
        size_t end = cookie.find_last_not_of(" \t");
        if (begin == std::string::npos) continue;
        cookie = cookie.substr(begin, end - begin + 1);
        size_t equals = cookie.find('=');
        if (equals == std::string::npos || equals == 0 || cookie.size() > kMaxCookieBytes) continue;
        std::string name = cookie.substr(0, equals + 1);
        auto same = std::find_if(cookies_.begin(), cookies_.end(),
                                 [&](const std::string& entry) { return entry.compare(0, name.size(), name) == 0; });
        if (same != cookies_.end()) *same = cookie;
        else if (cookies_.size() < kMaxCookies) cookies_.push_back(cookie);
    }
}

}  // namespace pcg
