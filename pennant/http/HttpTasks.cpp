#include "http/HttpTasks.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Text.h"
#include "http/Proxy.h"

#include <cstdio>
#include <cwchar>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// Sends of one exchange at most: a proxy that keeps asking (or WinHTTP that
// keeps asking to send again) ends as an unreachable server, not a loop.
constexpr int ExchangeRounds = 6;

}  // namespace

WinHttpTask::~WinHttpTask() {
    connection.Close();
    session.Close();
}

int WinHttpTask::Open(const std::wstring& url) {
    UrlParts parts;
    if (CrackUrl(url, &parts) != 0) return TaskFailed;
    path = parts.path;
    query = parts.query;
    secure = _wcsicmp(parts.scheme.c_str(), L"https") == 0;
    const ProxyRoute route = RouteFor(url, parts);
    if (session.Open(route.accessType, route.proxy, route.bypass) != 0) return TaskUnreachable;
    if (connection.Connect(session, parts.host, parts.port) != 0) {
        session.Close();
        return TaskUnreachable;
    }
    return TaskOk;
}

bool WinHttpTask::Ready() const {
    return session.IsOpen() && connection.IsOpen() && !path.empty();
}

int WinHttpTask::Exchange(WinHttpRequest& request, const void* body, DWORD length, DWORD* status) {
    ProxyAnswer answer;
    for (int round = 1;; ++round) {
        // Credentials hold for a single send: set again before each.
        if (answer.scheme != 0 && !ApplyProxyAnswer(request, answer)) return TaskUnreachable;
        int error = request.Send(body, length, length);
        if (error == 0) error = request.ReceiveResponse();
        // WinHTTP asks for the request again when an authentication
        // handshake needs another leg.
        if (error == ERROR_WINHTTP_RESEND_REQUEST && round < ExchangeRounds) continue;
        if (error != 0) return TaskUnreachable;
        if (request.QueryStatusCode(status) != 0) return TaskFailed;
        if (*status != HTTP_STATUS_PROXY_AUTH_REQ) return TaskOk;
        if (round == ExchangeRounds) {
            Log(LogError, "proxy authentication required, still after %d sends", round);
            return TaskUnreachable;
        }
        if (!AnswerProxyChallenge(request, &answer)) return TaskUnreachable;
        // NTLM and Negotiate hold their handshake on one connection: the
        // 407's body is read away and the connection no longer closed.
        request.DiscardBody();
        if (request.RemoveHeader(L"Connection") != 0) return TaskFailed;
    }
}

void HttpDownloader::OnProgress(int64_t done, int64_t total) {
    if (notify) notify->OnProgress(done, total);
}

bool HttpDownloader::IsCancelled() { return notify ? notify->IsCancelled() : false; }

int HttpDownloader::Download(const std::string& filePath, DWORD* status) {
    rangeRefused = false;
    started = GetTickCount();
    if (!Ready()) return TaskFailed;

    WinHttpRequest request;
    if (request.Open(connection, L"GET", ObjectName(), secure) != 0) return TaskUnreachable;
    request.SetTimeouts();

    UniqueKernelHandle file(CreateFileA(filePath.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Log(LogError, "create file %s failed, errno = %d", filePath.c_str(), LastError());
        return TaskFailed;
    }

    LONG high = 0;
    SetLastError(0);
    DWORD low = SetFilePointer(file.Get(), 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) {
        Log(LogError, "SetFilePointer failed, errno = %d", LastError());
        return TaskFailed;
    }
    const int64_t offset = (static_cast<int64_t>(high) << 32) | low;

    if (offset > 0 && request.AddRangeHeader(offset) != 0) return TaskFailed;
    if (request.AddConnectionCloseHeader() != 0) return TaskFailed;

    const int exchanged = Exchange(request, nullptr, 0, status);
    if (exchanged != TaskOk) return exchanged;
    if (offset > 0 && *status == HTTP_STATUS_OK) {
        // A server or proxy that ignores Range sends the whole file.
        Log(LogWarning, "range request from %lld answered with the whole file",
            static_cast<long long>(offset));
        rangeRefused = true;
        return TaskFailed;
    }
    if (!IsSuccessStatus(*status)) {
        request.LogRawHeaders();
        request.LogBody();
        return TaskFailed;
    }

    int64_t contentLength = 0;
    if (request.QueryContentLength(&contentLength) != 0) return TaskFailed;
    if (maxBytes > 0 && contentLength > maxBytes) {
        Log(LogWarning, "body of %lld bytes exceeds the limit of %lld",
            static_cast<long long>(contentLength), static_cast<long long>(maxBytes));
        return TaskFailed;
    }

    int64_t total = contentLength;
    if (offset > 0) {
        int64_t first = 0, last = 0;
        if (request.QueryContentRange(&first, &last, &total) != 0) return TaskFailed;
        if (first != offset) {
            Log(LogWarning, "offset unmatch %lld != %lld", static_cast<long long>(first),
                static_cast<long long>(offset));
            // Appending bytes that begin elsewhere would spoil the part file.
            rangeRefused = true;
            return TaskFailed;
        }
        if (last != total - 1)
            Log(LogWarning, "end unmatch %lld != %lld - 1", static_cast<long long>(last),
                static_cast<long long>(total));
        if (offset + contentLength != total)
            Log(LogWarning, "total unmatch %lld + %lld != %lld", static_cast<long long>(offset),
                static_cast<long long>(contentLength), static_cast<long long>(total));
    }
    return ReadToFile(request, file.Get(), offset, total);
}

int HttpDownloader::ReadToFile(WinHttpRequest& request, HANDLE file, int64_t start,
                               int64_t total) {
    // One block reused for the whole body; nothing is allocated per chunk.
    char buffer[DownloadChunkSize] = {};
    int64_t done = start;
    int lastPercent = 0;
    if (total == 0) return TaskOk;

    for (;;) {
        // Under a time limit only what has arrived is read: Wine's WinHTTP
        // waits until the whole buffer is filled.
        DWORD want = DownloadChunkSize;
        if (maxMillis > 0) {
            DWORD available = 0;
            if (request.QueryDataAvailable(&available) != 0) return TaskUnreachable;
            if (available > 0 && available < want) want = available;
        }
        DWORD got = 0;
        if (request.Read(buffer, want, &got) != 0 || got == 0) return TaskUnreachable;
        done += got;
        const double percent = static_cast<double>(done) * 100.0 / static_cast<double>(total);
        // The read's two records in one go.
        char readRecord[32], progressRecord[96];
        snprintf(readRecord, sizeof readRecord, "read %d", static_cast<int>(got));
        snprintf(progressRecord, sizeof progressRecord, "http get %lld / %lld, %.2f%%",
                 static_cast<long long>(done), static_cast<long long>(total), percent);
        const char* const records[] = {readRecord, progressRecord};
        LogWriteAll(LogDetail, records, sizeof records / sizeof records[0]);
        if (static_cast<int>(percent) > lastPercent) {
            lastPercent = static_cast<int>(percent);
            OnProgress(done, total);
        }

        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) {
            Log(LogError, "write file failed, size = %d, written = %d, errno = %d",
                static_cast<int>(got), static_cast<int>(written), LastError());
            return TaskFailed;
        }
        FlushFileBuffers(file);

        // After the write, so the chunk in hand is kept.
        if (IsCancelled()) return TaskCancelled;
        if (done >= total) return TaskOk;
        if (maxBytes > 0 && done > maxBytes) {
            Log(LogWarning, "body exceeds the limit of %lld bytes", static_cast<long long>(maxBytes));
            return TaskFailed;
        }
        if (maxMillis > 0 && GetTickCount() - started > maxMillis) {
            Log(LogWarning, "body not complete within %lu ms", maxMillis);
            return TaskFailed;
        }
    }
}

int HttpPoster::Post(const void* body, DWORD length) {
    if (!Ready()) return TaskFailed;
    WinHttpRequest request;
    if (request.Open(connection, L"POST", ObjectName(), secure) != 0) return TaskUnreachable;
    request.SetTimeouts();
    if (request.AddConnectionCloseHeader() != 0) return TaskFailed;
    if (request.AddFormContentTypeHeader() != 0) return TaskFailed;
    DWORD status = 0;
    const int exchanged = Exchange(request, body, length, &status);
    if (exchanged != TaskOk) return exchanged;
    if (!IsSuccessStatus(status)) {
        request.LogRawHeaders();
        request.LogBody();
        return TaskFailed;
    }
    return TaskOk;
}

HttpQuerier::~HttpQuerier() { request.Close(); }

int HttpQuerier::Query() {
    if (!Ready()) return TaskFailed;
    request.Close();
    if (request.Open(connection, L"HEAD", ObjectName(), secure) != 0) return TaskUnreachable;
    request.SetTimeouts();
    if (request.AddConnectionCloseHeader() != 0) return TaskFailed;
    DWORD status = 0;
    const int exchanged = Exchange(request, nullptr, 0, &status);
    if (exchanged != TaskOk) return exchanged;
    if (!IsSuccessStatus(status)) {
        request.LogRawHeaders();
        return TaskFailed;
    }
    return TaskOk;
}

int QueryResourceInfo(const std::string& url, uint64_t* size, std::string* etag,
                      int64_t* lastModified) {
    HttpQuerier querier;
    int result = querier.Open(AnsiToWide(url));
    if (result < 0) return result;
    result = querier.Query();
    if (result != 0) return result;
    // Each header on its own: a server without ETag still names its
    // Last-Modified, and that alone identifies the installer's version.
    int64_t length = 0;
    const bool haveSize = querier.request.QueryContentLength(&length) == 0;
    if (haveSize) *size = length;
    const bool haveEtag = querier.request.QueryETag(etag) == 0;
    const bool haveTime = querier.request.QueryLastModified(lastModified) == 0;
    return haveSize && haveEtag && haveTime ? TaskOk : TaskFailed;
}

int DownloadToTempFile(const std::string& url, std::string* tempFile) {
    HttpDownloader downloader;
    int result = downloader.Open(AnsiToWide(url));
    if (result < 0) return result;

    char directory[MAX_PATH] = {};
    char name[MAX_PATH] = {};
    GetTempPathA(sizeof directory, directory);
    GetTempFileNameA(directory, "logo_", 0, name);

    // The logo is fetched before the offer shows: it must not hold the
    // start-up for long, and a partial image is no logo.
    downloader.maxBytes = LogoMaxBytes;
    downloader.maxMillis = LogoMaxMillis;
    DWORD status = 0;
    result = downloader.Download(name, &status);
    if (result != TaskOk) {
        DeleteFileA(name);
        tempFile->clear();
        return result;
    }
    *tempFile = name;
    return result;
}

}  // namespace pennant
