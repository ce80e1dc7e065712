// HTTP request tasks: one client object per URL, connected once, running
// exchanges of one kind (ranged GET into a file, form POST, HEAD).
//
// Task result codes shared by every operation here:
//    0  success
//   -1  bad URL, failed precondition, local file error, header not added or
//       not queryable, response status not a success, write to disk failed
//   -2  server unusable: session, connection or request not opened, send or
//       receive failed, body ended before the expected total
//   -3  stopped because the notifier asked for cancellation
#pragma once

#include "http/WinHttp.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace pennant {

constexpr int TaskOk = 0;
constexpr int TaskFailed = -1;
constexpr int TaskUnreachable = -2;
constexpr int TaskCancelled = -3;

constexpr int64_t LogoMaxBytes = 1024 * 1024;
constexpr DWORD LogoMaxMillis = 10000;

// Size of the one read buffer a download reuses for its whole body.
constexpr DWORD DownloadChunkSize = 0x28000;

// Progress and cancellation callbacks of a download.
class HttpLoadNotify {
public:
    virtual ~HttpLoadNotify() = default;
    virtual void OnProgress(int64_t done, int64_t total) = 0;
    virtual bool IsCancelled() = 0;
};

// Session and connection to one URL's host, kept for the task's life.
class WinHttpTask {
public:
    WinHttpTask() = default;
    virtual ~WinHttpTask();
    WinHttpTask(const WinHttpTask&) = delete;
    WinHttpTask& operator=(const WinHttpTask&) = delete;

    // Cracks the URL (-1), opens the session and connects (-2); 0 on success.
    int Open(const std::wstring& url);

protected:
    // Session and connection open and a path to ask for.
    bool Ready() const;
    // Sends the request (with the body, if any) and receives its status,
    // answering a proxy's 407 as far as the user's logon or the machine
    // policy allows. A 407 left unanswered is an unreachable server.
    int Exchange(WinHttpRequest& request, const void* body, DWORD length, DWORD* status);
    std::wstring ObjectName() const { return path + query; }

    WinHttpSession session;
    WinHttpConnection connection;
    std::wstring path;
    std::wstring query;
    bool secure = false;  // the URL's scheme is https
};

// GET appended to a file, resumed with a range request when the file holds bytes.
class HttpDownloader : public WinHttpTask {
public:
    explicit HttpDownloader(HttpLoadNotify* notify = nullptr) : notify(notify) {}

    // The caller presets *status to 0; it receives the response status as
    // soon as it is known. Returns a task result code.
    int Download(const std::string& filePath, DWORD* status);

    virtual void OnProgress(int64_t done, int64_t total);
    virtual bool IsCancelled();

    // Whether the last Download failed because the server did not answer
    // the range asked for (the whole file, or bytes from elsewhere).
    bool RangeRefused() const { return rangeRefused; }

    HttpLoadNotify* notify;  // not owned, may be null
    // Bounds of one body; 0 for none. Past either, Download returns -1.
    int64_t maxBytes = 0;
    DWORD maxMillis = 0;

private:
    int ReadToFile(WinHttpRequest& request, HANDLE file, int64_t start, int64_t total);

    bool rangeRefused = false;
    DWORD started = 0;  // tick count at the start of the last Download
};

// Form POST; the response body is not read on success.
class HttpPoster : public WinHttpTask {
public:
    int Post(const void* body, DWORD length);
};

// HEAD whose request stays open so the caller can read the response headers.
class HttpQuerier : public WinHttpTask {
public:
    ~HttpQuerier() override;
    int Query();

    WinHttpRequest request;
};

// HEAD of the installer URL: Content-Length, ETag and Last-Modified, each
// read on its own; an output whose header is missing keeps its value. 0 when
// all three were read, else the negative result of the first failure.
int QueryResourceInfo(const std::string& url, uint64_t* size, std::string* etag,
                      int64_t* lastModified);

// GET into a new temporary file named "logo_*.tmp" in the temp directory,
// created only once the URL could be opened, of at most LogoMaxBytes within
// LogoMaxMillis. A task result code; on failure the file is removed and the
// path left empty.
int DownloadToTempFile(const std::string& url, std::string* tempFile);

}  // namespace pennant
