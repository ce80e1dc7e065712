#include "http/HttpParser.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pcg {

namespace {

const char kStatusPrefix[] = "HTTP/";
constexpr size_t kMaxChunkLine = 4096;
constexpr size_t kMaxLeadingBlankLines = 4;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Calls token(lower-cased, trimmed) for each comma-separated token of value.
template <class F>
void ForEachToken(const std::string& value, F token) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::string item = Trim(value.substr(start, comma - start));
        for (char& c : item) c = Lower(c);
        if (!item.empty()) token(item);
        start = comma + 1;
    }
}

}  // namespace

const char* HttpErrorName(HttpError error) {
    switch (error) {
        case HttpError::None: return "None";
        case HttpError::BadUrl: return "BadUrl";
        case HttpError::UnsupportedScheme: return "UnsupportedScheme";
        case HttpError::BadRequestHeader: return "BadRequestHeader";
        case HttpError::Resolve: return "Resolve";
        case HttpError::Connect: return "Connect";
        case HttpError::Send: return "Send";
        case HttpError::Receive: return "Receive";
        case HttpError::Timeout: return "Timeout";
        case HttpError::Stopped: return "Stopped";
        case HttpError::ClosedEarly: return "ClosedEarly";
        case HttpError::BadStatusLine: return "BadStatusLine";
        case HttpError::HeaderTooLarge: return "HeaderTooLarge";
        case HttpError::BadHeader: return "BadHeader";
        case HttpError::BadContentLength: return "BadContentLength";
        case HttpError::BodyTooLarge: return "BodyTooLarge";
        case HttpError::BadChunk: return "BadChunk";
        case HttpError::TooManyInterim: return "TooManyInterim";
        case HttpError::BodyWrite: return "BodyWrite";
        case HttpError::OutOfMemory: return "OutOfMemory";
        case HttpError::ProxyTunnel: return "ProxyTunnel";
        case HttpError::RedirectRefused: return "RedirectRefused";
        case HttpError::TlsHandshake: return "TlsHandshake";
        case HttpError::TlsCertificate: return "TlsCertificate";
        case HttpError::TlsTruncated: return "TlsTruncated";
    }
    return "Unknown";
}

namespace {

bool IsHostChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '.' || c == '_'; }

bool IsAddressChar(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f') || c == ':' || c == '.'; }

}  // namespace

bool ParseUrl(const std::string& url, const std::string& defaultPort, UrlParts& parts) {
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    std::string rest = url;

    parts = UrlParts();
    parts.scheme = "http";
    size_t schemeEnd = rest.find("://");
    if (schemeEnd != std::string::npos) {
        bool schemeChars = schemeEnd > 0;
        for (size_t i = 0; i < schemeEnd && schemeChars; ++i) {
            char c = rest[i];
            schemeChars = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) ||
                          c == '+' || c == '-' || c == '.';
        }
        if (schemeChars) {
            parts.scheme = rest.substr(0, schemeEnd);
            for (char& c : parts.scheme) c = Lower(c);
            rest.erase(0, schemeEnd + 3);
        }
    }

    size_t authorityEnd = rest.find_first_of("/?");
    std::string authority = rest.substr(0, authorityEnd);
    parts.pathAndQuery = authorityEnd == std::string::npos ? std::string() : rest.substr(authorityEnd);
    if (parts.pathAndQuery.empty()) parts.pathAndQuery = "/";
    else if (parts.pathAndQuery[0] == '?') parts.pathAndQuery.insert(0, "/");

    // Whatever else would read this URL (a browser, a proxy, a log reader)
    // must not find another host in it than the one the request goes to:
    // user info ("evil#@good"), a fragment or a backslash there is refused,
    // and so is any host byte that names no host.
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos || close == 1) return false;
        parts.host = authority.substr(0, close + 1);
        for (size_t i = 1; i < close; ++i)
            if (!IsAddressChar(authority[i])) return false;
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            port = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
        for (char c : parts.host)
            if (!IsHostChar(c)) return false;
    }
    if (parts.host.empty()) return false;

    if (port.empty()) port = parts.scheme == "https" ? "443" : defaultPort;
    if (port.empty() || port.size() > 5) return false;
    long value = 0;
    for (char c : port) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    parts.port = port;
    const bool defaultForScheme = port == (parts.scheme == "https" ? "443" : "80");
    parts.hostAndPort = parts.host + (defaultForScheme ? std::string() : ":" + port);
    return true;
}

std::string ExtractHost(const std::string& url) {
    UrlParts parts;
    return ParseUrl(url, "80", parts) ? parts.hostAndPort : std::string();
}

ResponseParser::ResponseParser(bool headRequest, size_t maxHeaderBytes, uint64_t maxBodyBytes, BodySink* sink)
    : headRequest_(headRequest),
      maxHeaderBytes_(maxHeaderBytes),
      maxBodyBytes_(sink ? std::numeric_limits<uint64_t>::max() : maxBodyBytes),
      memoryBodyLimit_(maxBodyBytes),
      sink_(sink) {}

bool ResponseParser::Store(const char* data, size_t size) {
    if (sink_) return sink_->Write(data, size);
    if (stage_ == Stage::Body && body_.capacity() - body_.size() < size) ReserveForLength(size);
    body_.append(data, size);
    return true;
}

ParseStatus ResponseParser::Fail(HttpError error) {
    error_ = error;
    status_ = ParseStatus::Invalid;
    return status_;
}

// Collects one line ending in LF (CR before it dropped). complete is false
// when the data ran out first; the partial line stays in line_.
bool ResponseParser::TakeLine(const char* data, size_t size, size_t& pos, std::string& line, bool& complete) {
    complete = false;
    const char* start = data + pos;
    const void* found = std::memchr(start, '\n', size - pos);
    size_t take = found ? static_cast<size_t>(static_cast<const char*>(found) - start) + 1 : size - pos;
    size_t limit = stage_ == Stage::ChunkSize || stage_ == Stage::ChunkDataEnd ? kMaxChunkLine : maxHeaderBytes_;
    size_t counted = stage_ == Stage::ChunkSize || stage_ == Stage::ChunkDataEnd ? line_.size() : headerBytes_;
    if (counted + take > limit) return false;
    if (stage_ != Stage::ChunkSize && stage_ != Stage::ChunkDataEnd) headerBytes_ += take;
    line_.append(start, found ? take - 1 : take);
    pos += take;
    if (found) {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        line.swap(line_);
        line_.clear();
        complete = true;
    }
    return true;
}

ParseStatus ResponseParser::Feed(const char* data, size_t size, size_t* consumed) {
    size_t pos = 0;
    *consumed = 0;
    if (status_ != ParseStatus::NeedMore) return status_;
    std::string line;
    while (pos < size) {
        switch (stage_) {
            case Stage::StatusLine:
            case Stage::Headers:
            case Stage::Trailers: {
                bool complete = false;
                size_t before = line_.size();
                if (!TakeLine(data, size, pos, line, complete)) {
                    *consumed = pos;
                    return Fail(HttpError::HeaderTooLarge);
                }
                if (stage_ == Stage::StatusLine && !complete && line_ != "\r") {
                    // Refuse a non-HTTP answer at once rather than waiting for a line end.
                    size_t n = std::min(line_.size(), sizeof kStatusPrefix - 1);
                    if (before < n && line_.compare(0, n, kStatusPrefix, n) != 0) {
                        *consumed = pos;
                        return Fail(HttpError::BadStatusLine);
                    }
                }
                if (!complete) break;
                ParseStatus result = stage_ == Stage::StatusLine ? OnStatusLine(line) : OnHeaderLine(line);
                if (result != ParseStatus::NeedMore) {
                    *consumed = pos;
                    return result;
                }
                break;
            }
            case Stage::ChunkSize:
            case Stage::ChunkDataEnd: {
                bool complete = false;
                if (!TakeLine(data, size, pos, line, complete)) {
                    *consumed = pos;
                    return Fail(HttpError::BadChunk);
                }
                if (!complete) break;
                ParseStatus result;
                if (stage_ == Stage::ChunkSize) {
                    result = OnChunkSizeLine(line);
                } else if (!line.empty()) {
                    result = Fail(HttpError::BadChunk);
                } else {
                    stage_ = Stage::ChunkSize;
                    result = ParseStatus::NeedMore;
                }
                if (result != ParseStatus::NeedMore) {
                    *consumed = pos;
                    return result;
                }
                break;
            }
            case Stage::Body:
            case Stage::ChunkData: {
                size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, size - pos));
                if (!Store(data + pos, take)) {
                    *consumed = pos;
                    return Fail(HttpError::BodyWrite);
                }
                pos += take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    if (stage_ == Stage::ChunkData) {
                        stage_ = Stage::ChunkDataEnd;
                    } else {
                        stage_ = Stage::Complete;
                        status_ = ParseStatus::Done;
                        *consumed = pos;
                        return status_;
                    }
                }
                break;
            }
            case Stage::UntilClose: {
                size_t take = size - pos;
                if (body_.size() + static_cast<uint64_t>(take) > maxBodyBytes_) {
                    *consumed = pos;
                    return Fail(HttpError::BodyTooLarge);
                }
                if (!Store(data + pos, take)) {
                    *consumed = pos;
                    return Fail(HttpError::BodyWrite);
                }
                pos += take;
                break;
            }
            case Stage::Complete:
                *consumed = pos;
                return status_;
        }
    }
    *consumed = pos;
    return status_;
}

// Grows the body towards its announced length in few steps (doubling, and at
// least kReserveStep), so a length that is announced but never sent costs at
// most twice what arrived plus one step.
void ResponseParser::ReserveForLength(size_t take) {
    constexpr uint64_t kReserveStep = 256 * 1024;
    uint64_t wanted = std::max<uint64_t>(body_.capacity() * 2ull, body_.size() + kReserveStep);
    wanted = std::max<uint64_t>(std::min<uint64_t>(wanted, contentLength_), body_.size() + take);
    if (wanted > body_.capacity()) body_.reserve(static_cast<size_t>(wanted));
}

ParseStatus ResponseParser::OnStatusLine(const std::string& line) {
    if (line.empty()) {
        // Tolerate the stray blank lines some servers leave after a body.
        if (headerBytes_ > kMaxLeadingBlankLines * 2) return Fail(HttpError::BadStatusLine);
        return ParseStatus::NeedMore;
    }
    // "HTTP/" major "." minor SP 3DIGIT [SP reason]
    size_t pos = sizeof kStatusPrefix - 1;
    if (line.compare(0, pos, kStatusPrefix) != 0) return Fail(HttpError::BadStatusLine);
    int major = 0, minor = 0, digits = 0;
    while (pos < line.size() && IsDigit(line[pos]) && digits < 3) major = major * 10 + (line[pos++] - '0'), ++digits;
    if (digits == 0 || pos >= line.size() || line[pos++] != '.') return Fail(HttpError::BadStatusLine);
    digits = 0;
    while (pos < line.size() && IsDigit(line[pos]) && digits < 3) minor = minor * 10 + (line[pos++] - '0'), ++digits;
    if (digits == 0 || pos >= line.size() || line[pos] != ' ') return Fail(HttpError::BadStatusLine);
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos + 3 > line.size() || !IsDigit(line[pos]) || !IsDigit(line[pos + 1]) || !IsDigit(line[pos + 2]) ||
        (pos + 3 < line.size() && line[pos + 3] != ' '))
        return Fail(HttpError::BadStatusLine);
    int code = (line[pos] - '0') * 100 + (line[pos + 1] - '0') * 10 + (line[pos + 2] - '0');
    if (code < 100) return Fail(HttpError::BadStatusLine);
    versionMajor_ = major;
    versionMinor_ = minor;
    statusCode_ = code;
    reason_ = pos + 4 <= line.size() ? line.substr(pos + 4) : std::string();
    headerLines_.clear();
    headerLines_.push_back(line);
    stage_ = Stage::Headers;
    return ParseStatus::NeedMore;
}

ParseStatus ResponseParser::OnHeaderLine(const std::string& line) {
    if (line.empty()) {
        if (stage_ == Stage::Trailers) {
            stage_ = Stage::Complete;
            status_ = ParseStatus::Done;
            return status_;
        }
        return OnHeadersEnd();
    }
    if (line[0] == ' ' || line[0] == '\t') {
        // An obsolete folded continuation belongs to the line before.
        if (headerLines_.size() < 2 && stage_ == Stage::Headers) return Fail(HttpError::BadHeader);
        headerLines_.back() += ' ' + Trim(line);
        return ParseStatus::NeedMore;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return Fail(HttpError::BadHeader);
    headerLines_.push_back(line);
    if (stage_ == Stage::Trailers) return ParseStatus::NeedMore;

    std::string name = Trim(line.substr(0, colon));
    std::string value = Trim(line.substr(colon + 1));
    if (SameNoCase(name, "Content-Length")) {
        if (value.empty() || value.size() > 18) return Fail(HttpError::BadContentLength);
        uint64_t length = 0;
        for (char c : value) {
            if (!IsDigit(c)) return Fail(HttpError::BadContentLength);
            length = length * 10 + static_cast<uint64_t>(c - '0');
        }
        if (hasLength_ && length != contentLength_) return Fail(HttpError::BadContentLength);
        hasLength_ = true;
        contentLength_ = length;
    } else if (SameNoCase(name, "Transfer-Encoding")) {
        bool lastIsChunked = false;
        ForEachToken(value, [&](const std::string& token) { lastIsChunked = token == "chunked"; });
        chunked_ = lastIsChunked;
    } else if (SameNoCase(name, "Connection") || SameNoCase(name, "Proxy-Connection")) {
        ForEachToken(value, [&](const std::string& token) {
            if (token == "close") connectionClose_ = true;
            if (token == "keep-alive") connectionKeepAlive_ = true;
        });
    }
    return ParseStatus::NeedMore;
}

ParseStatus ResponseParser::OnHeadersEnd() {
    if (statusCode_ < 200) {
        // An interim answer (100 Continue): the real one follows, after a few at most.
        if (++interimAnswers_ > kMaxInterimAnswers) return Fail(HttpError::TooManyInterim);
        statusCode_ = 0;
        reason_.clear();
        headerLines_.clear();
        hasLength_ = chunked_ = connectionClose_ = connectionKeepAlive_ = false;
        contentLength_ = 0;
        headerBytes_ = 0;
        stage_ = Stage::StatusLine;
        return ParseStatus::NeedMore;
    }
    if (sink_ && statusCode_ > 299) {
        // The sink stands for the file the caller asked for: an error page
        // or a redirect's page is not that file.
        sink_ = nullptr;
        maxBodyBytes_ = memoryBodyLimit_;
    }
    if (headRequest_ || statusCode_ == 204 || statusCode_ == 304) {
        stage_ = Stage::Complete;
        status_ = ParseStatus::Done;
        return status_;
    }
    if (chunked_) {
        stage_ = Stage::ChunkSize;
        return ParseStatus::NeedMore;
    }
    if (hasLength_) {
        if (contentLength_ > maxBodyBytes_) return Fail(HttpError::BodyTooLarge);
        if (contentLength_ == 0) {
            stage_ = Stage::Complete;
            status_ = ParseStatus::Done;
            return status_;
        }
        remaining_ = contentLength_;
        stage_ = Stage::Body;
        return ParseStatus::NeedMore;
    }
    stage_ = Stage::UntilClose;
    return ParseStatus::NeedMore;
}

ParseStatus ResponseParser::OnChunkSizeLine(const std::string& line) {
    size_t pos = 0;
    uint64_t size = 0;
    int digits = 0;
    while (pos < line.size() && HexDigit(line[pos]) >= 0) {
        if (++digits > 15) return Fail(HttpError::BadChunk);
        size = size * 16 + static_cast<uint64_t>(HexDigit(line[pos++]));
    }
    if (digits == 0) return Fail(HttpError::BadChunk);
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos < line.size() && line[pos] != ';') return Fail(HttpError::BadChunk);
    if (size == 0) {
        stage_ = Stage::Trailers;
        return ParseStatus::NeedMore;
    }
    if (body_.size() + size > maxBodyBytes_) return Fail(HttpError::BodyTooLarge);
    remaining_ = size;
    stage_ = Stage::ChunkData;
    return ParseStatus::NeedMore;
}

ParseStatus ResponseParser::FinishAtClose() {
    if (status_ != ParseStatus::NeedMore) return status_;
    if (stage_ == Stage::UntilClose || (stage_ == Stage::Trailers && line_.empty())) {
        stage_ = Stage::Complete;
        status_ = ParseStatus::Done;
        closeDelimited_ = true;
        return status_;
    }
    return Fail(HttpError::ClosedEarly);
}

bool ResponseParser::KeepAlive() const {
    if (status_ != ParseStatus::Done || closeDelimited_ || connectionClose_) return false;
    bool persistentByDefault = versionMajor_ > 1 || (versionMajor_ == 1 && versionMinor_ >= 1);
    return persistentByDefault || connectionKeepAlive_;
}

std::string ResponseParser::HeaderValue(const std::string& name) const {
    for (size_t i = 1; i < headerLines_.size(); ++i) {
        const std::string& line = headerLines_[i];
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (SameNoCase(Trim(line.substr(0, colon)), name.c_str())) return Trim(line.substr(colon + 1));
    }
    return std::string();
}

}  // namespace pcg
