// Owners for WinHTTP handles (one class per handle kind, each closing its
// handle exactly once) and the request helpers every exchange of pennant is
// built from. Synchronous WinHTTP only; every call blocks its thread.
#pragma once

#include "app/Handles.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

namespace pennant {

struct WinHttpTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::WinHttpCloseHandle(h); }
};

// Owns one WinHTTP handle; closed by the destructor.
class WinHttpHandle {
public:
    WinHttpHandle() = default;
    virtual ~WinHttpHandle();
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;

    // Closes an open handle; the close call's result, or 0 when nothing was open.
    int Close();

    HINTERNET Get() const { return handle.Get(); }
    bool IsOpen() const { return handle.Valid(); }

protected:
    UniqueHandle<WinHttpTraits> handle;
};

class WinHttpSession : public WinHttpHandle {
public:
    // Synchronous session with the user agent "WinHTTP dovazidero/1.0" and
    // WinHTTP's machine proxy setting. 0 or -1.
    int Open();
    // The same with the access type and proxy and bypass lists given (empty
    // lists are none; both are passed only with a named proxy). A session, not a request, carries the proxy: Wine's
    // WinHTTP takes the proxy of a request only from its session.
    int Open(DWORD accessType, const std::wstring& proxy, const std::wstring& bypass);
};

class WinHttpConnection : public WinHttpHandle {
public:
    // Connects to host:port (port 0 means 80). 0 or -1.
    int Connect(const WinHttpSession& session, const std::wstring& host, INTERNET_PORT port);
};

class WinHttpRequest : public WinHttpHandle {
public:
    // Opens a HTTP/1.1 request; `secure` asks for TLS (https URLs). 0 or -1.
    int Open(const WinHttpConnection& connection, const wchar_t* verb,
             const std::wstring& objectName, bool secure);
    // Resolve 10 s, connect 3 s, send 3 s, receive 5 s. 0 or -1, not logged.
    int SetTimeouts();
    int AddHeader(const std::wstring& header);
    int RemoveHeader(const wchar_t* name);  // 0 also when it was not there
    int AddRangeHeader(int64_t offset);   // Range:bytes=<offset>-
    int AddConnectionCloseHeader();       // Connection:close
    int AddFormContentTypeHeader();       // form, ISO-8859-1
    // WinHttpSendRequest and WinHttpReceiveResponse, each failure logged:
    // 0, or the failure's error code (ERROR_WINHTTP_RESEND_REQUEST asks the
    // caller to send again), -1 when the platform named none.
    int Send(const void* data, DWORD length, DWORD totalLength);
    int ReceiveResponse();
    int Read(void* buffer, DWORD size, DWORD* bytesRead);
    // Bytes that can be read without waiting (waits for the first ones). 0 or -1.
    int QueryDataAvailable(DWORD* bytes);

    int QueryHeader(DWORD infoLevel, void* buffer, DWORD* length);
    int QueryStatusCode(DWORD* status);
    // Read as text: the numeric query holds 32 bits (Wine even stops at
    // 2^31 - 1), and installers grow past 4 GiB.
    int QueryContentLength(int64_t* length);
    // Content-Range "bytes first-last/total"; -1 when missing or unscannable.
    int QueryContentRange(int64_t* first, int64_t* last, int64_t* total);
    // ETag as sent (quotes kept), in the ANSI code page.
    int QueryETag(std::string* etag);
    // Last-Modified as the C runtime's local-time mktime of its fields.
    int QueryLastModified(int64_t* time);

    // Diagnostics for a failed response: headers, then the first
    // LogBodyLimit bytes of the body as raw text.
    void LogRawHeaders();
    void LogBody();
    // Reads the body away, at most DiscardBodyLimit bytes, so that the
    // connection can carry the next send.
    void DiscardBody();
};

struct UrlParts {
    std::wstring scheme;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
    std::wstring query;
};

// Splits a URL into scheme, host, port (WinHTTP supplies the scheme's
// default), path and the extra part from "?" on. 0 or -1 (parts untouched).
int CrackUrl(const std::wstring& url, UrlParts* parts);

// At most this much of an error body reaches the log.
constexpr DWORD LogBodyLimit = 4096;
constexpr DWORD DiscardBodyLimit = 64 * 1024;

// 200-299.
bool IsSuccessStatus(DWORD status);

// Parses a Content-Range value ("bytes 0-99/100" or "0-99/100"); 0 when all
// three numbers scan.
int ParseContentRange(const wchar_t* value, int64_t* first, int64_t* last, int64_t* total);

}  // namespace pennant
