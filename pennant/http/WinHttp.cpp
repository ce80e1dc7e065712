#include "http/WinHttp.h"

#include "app/Log.h"
#include "app/Text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <vector>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

#ifndef _WIN64
static_assert(sizeof(URL_COMPONENTS) == 60, "the 32-bit URL_COMPONENTS record");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME");
#endif

}  // namespace

WinHttpHandle::~WinHttpHandle() { Close(); }

int WinHttpHandle::Close() {
    if (!handle) return 0;
    return WinHttpCloseHandle(handle.Release());
}

int WinHttpSession::Open() {
    return Open(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, std::wstring(), std::wstring());
}

int WinHttpSession::Open(DWORD accessType, const std::wstring& proxy, const std::wstring& bypass) {
    // Proxy and bypass lists belong to a named proxy only: with any other
    // access type WinHttpOpen wants none.
    const bool named = accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !proxy.empty();
    handle.Reset(WinHttpOpen(L"WinHTTP dovazidero/1.0", accessType,
                              named ? proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                              named && !bypass.empty() ? bypass.c_str() : WINHTTP_NO_PROXY_BYPASS,
                              0));
    if (!handle) {
        Log(LogError, "WinHttpOpen failed, errno = %lu.\n", GetLastError());
        return -1;
    }
    return 0;
}

int WinHttpConnection::Connect(const WinHttpSession& session, const std::wstring& host,
                               INTERNET_PORT port) {
    if (port == 0) port = INTERNET_DEFAULT_HTTP_PORT;
    handle.Reset(WinHttpConnect(session.Get(), host.c_str(), port, 0));
    if (!handle) {
        Log(LogError, "WinHttpConnect failed, errno = %lu.\n", GetLastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::Open(const WinHttpConnection& connection, const wchar_t* verb,
                         const std::wstring& objectName, bool secure) {
    // An https URL sent without TLS would either fail against the real server
    // or move the installer in clear text; neither is acceptable.
    handle.Reset(WinHttpOpenRequest(connection.Get(), verb, objectName.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     secure ? WINHTTP_FLAG_SECURE : 0));
    if (!handle) {
        Log(LogError, "WinHttpOpenRequest failed, errno = %lu.\n", GetLastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::SetTimeouts() {
    return WinHttpSetTimeouts(handle.Get(), 10000, 3000, 3000, 5000) ? 0 : -1;
}

int WinHttpRequest::AddHeader(const std::wstring& header) {
    if (!WinHttpAddRequestHeaders(handle.Get(), header.c_str(), static_cast<DWORD>(-1),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        Log(LogError, "WinHttpAddRequestHeaders failed, errno = %d", LastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::RemoveHeader(const wchar_t* name) {
    // A replacement with an empty value removes the header; one not there
    // is already what the caller wants.
    if (!WinHttpAddRequestHeaders(handle.Get(), (std::wstring(name) + L":").c_str(),
                                  static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_REPLACE) &&
        GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND) {
        Log(LogError, "WinHttpAddRequestHeaders failed, errno = %d", LastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::AddRangeHeader(int64_t offset) {
    return AddHeader(L"Range:bytes=" + std::to_wstring(offset) + L"-");
}

int WinHttpRequest::AddConnectionCloseHeader() { return AddHeader(L"Connection:close"); }

int WinHttpRequest::AddFormContentTypeHeader() {
    return AddHeader(L"Content-Type:application/x-www-form-urlencoded;charset=ISO-8859-1");
}

int WinHttpRequest::Send(const void* data, DWORD length, DWORD totalLength) {
    if (!WinHttpSendRequest(handle.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<void*>(data),
                            length, totalLength, 0)) {
        // Taken before logging, which may change the thread's last error.
        const int error = LastError();
        Log(LogError, "WinHttpSendRequest failed, errno = %d", error);
        return error != 0 ? error : -1;
    }
    return 0;
}

int WinHttpRequest::ReceiveResponse() {
    if (!WinHttpReceiveResponse(handle.Get(), nullptr)) {
        const int error = LastError();
        Log(LogError, "WinHttpReceiveResponse failed, errno = %d", error);
        return error != 0 ? error : -1;
    }
    return 0;
}

int WinHttpRequest::QueryDataAvailable(DWORD* bytes) {
    *bytes = 0;
    if (!WinHttpQueryDataAvailable(handle.Get(), bytes)) {
        Log(LogError, "WinHttpQueryDataAvailable failed, errno = %d", LastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::Read(void* buffer, DWORD size, DWORD* bytesRead) {
    *bytesRead = 0;
    if (!WinHttpReadData(handle.Get(), buffer, size, bytesRead)) {
        Log(LogError, "WinHttpReadData failed, errno = %d", LastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::QueryHeader(DWORD infoLevel, void* buffer, DWORD* length) {
    if (!WinHttpQueryHeaders(handle.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer, length,
                             WINHTTP_NO_HEADER_INDEX)) {
        Log(LogError, "WinHttpQueryHeaders failed, flag = 0x%x, errno = %d",
            static_cast<unsigned>(infoLevel), LastError());
        return -1;
    }
    return 0;
}

int WinHttpRequest::QueryStatusCode(DWORD* status) {
    DWORD length = sizeof *status;
    return QueryHeader(WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, status, &length);
}

int WinHttpRequest::QueryContentLength(int64_t* contentLength) {
    wchar_t value[32] = {};
    DWORD length = sizeof value - sizeof value[0];
    if (QueryHeader(WINHTTP_QUERY_CONTENT_LENGTH, value, &length) != 0) return -1;
    // Digits only, at most 18 of them: no sign, no overflow.
    int64_t number = 0;
    int digits = 0;
    for (const wchar_t* c = value; *c != L'\0'; ++c, ++digits) {
        if (*c < L'0' || *c > L'9' || digits == 18) {
            Log(LogError, "Content-Length is not a size: %ls", value);
            return -1;
        }
        number = number * 10 + (*c - L'0');
    }
    if (digits == 0) return -1;
    *contentLength = number;
    return 0;
}

int ParseContentRange(const wchar_t* value, int64_t* first, int64_t* last, int64_t* total) {
    const wchar_t* blank = wcsrchr(value, L' ');
    const wchar_t* numbers = blank ? blank + 1 : value;
    long long a = 0, b = 0, c = 0;
    if (swscanf(numbers, L"%lld-%lld/%lld", &a, &b, &c) != 3) return -1;
    *first = a;
    *last = b;
    *total = c;
    return 0;
}

int WinHttpRequest::QueryContentRange(int64_t* first, int64_t* last, int64_t* total) {
    wchar_t value[128] = {};
    DWORD length = 127;  // bytes: room for 62 characters and the terminator
    if (QueryHeader(WINHTTP_QUERY_CONTENT_RANGE, value, &length) != 0) return -1;
    return ParseContentRange(value, first, last, total);
}

int WinHttpRequest::QueryETag(std::string* etag) {
    wchar_t value[1024] = {};
    DWORD length = 1023;
    if (QueryHeader(WINHTTP_QUERY_ETAG, value, &length) != 0) return -1;
    *etag = WideToAnsi(value);
    return 0;
}

int WinHttpRequest::QueryLastModified(int64_t* time) {
    SYSTEMTIME st = {};
    DWORD length = sizeof st;
    if (QueryHeader(WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME, &st, &length) !=
        0)
        return -1;
    struct tm fields = {};
    fields.tm_sec = st.wSecond;
    fields.tm_min = st.wMinute;
    fields.tm_hour = st.wHour;
    fields.tm_mday = st.wDay;
    fields.tm_mon = st.wMonth - 1;
    fields.tm_year = st.wYear - 1900;
    fields.tm_wday = st.wDayOfWeek;
    fields.tm_yday = 0;
    fields.tm_isdst = 0;
    *time = _mktime64(&fields);
    return 0;
}

void WinHttpRequest::LogRawHeaders() {
    DWORD size = 0;
    if (WinHttpQueryHeaders(handle.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Log(LogError, "WinHttpQueryHeaders failed, errno = %d", LastError());
        return;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD length = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    if (QueryHeader(WINHTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &length) != 0) return;
    Log(LogDetail, "%s", WideToAnsi(text.data()).c_str());
}

void WinHttpRequest::LogBody() {
    // Only the head of the body: one large error page would otherwise rotate
    // the whole history out of the log.
    char chunk[1024];
    for (DWORD logged = 0; logged < LogBodyLimit;) {
        const DWORD room = std::min<DWORD>(sizeof chunk - 1, LogBodyLimit - logged);
        DWORD got = 0;
        if (Read(chunk, room, &got) != 0 || got == 0) return;
        chunk[got] = '\0';
        Log(LogDetail, "%5d : %s", static_cast<int>(got), chunk);
        logged += got;
    }
}

void WinHttpRequest::DiscardBody() {
    char chunk[4096];
    for (DWORD read = 0; read < DiscardBodyLimit;) {
        DWORD got = 0;
        if (Read(chunk, sizeof chunk, &got) != 0 || got == 0) return;
        read += got;
    }
}

int CrackUrl(const std::wstring& url, UrlParts* parts) {
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &components)) {
        Log(LogError, "WinHttpCrackUrl failed, errno = %lu.\n", GetLastError());
        return -1;
    }
    auto copy = [](std::wstring& out, const wchar_t* text, DWORD length) {
        out.clear();
        if (text && length > 0) out.assign(text, length);
    };
    copy(parts->scheme, components.lpszScheme, components.dwSchemeLength);
    copy(parts->host, components.lpszHostName, components.dwHostNameLength);
    copy(parts->path, components.lpszUrlPath, components.dwUrlPathLength);
    copy(parts->query, components.lpszExtraInfo, components.dwExtraInfoLength);
    parts->port = components.nPort;
    return 0;
}

bool IsSuccessStatus(DWORD status) {
    // A redirect that reaches this code was not followed by WinHTTP, so its
    // body is a message page, never the resource asked for.
    return status >= 200 && status <= 299;
}

}  // namespace pennant
